// Holds a file open for writing, sharing it with readers and writers, the
// way an editor or a logging program might, until its standard input closes.
//
//   file_holder <path>   prints "holding" once the file is open, exit status
//                        0; prints "cannot open" and exits with 2 otherwise.
#include <share.h>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: file_holder <path>\n");
        return 100;
    }
    std::FILE* file = _fsopen(argv[1], "ab", _SH_DENYNO);
    if (file == nullptr) {
        std::printf("cannot open\n");
        return 2;
    }
    std::printf("holding\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    std::fclose(file);
    return 0;
}
