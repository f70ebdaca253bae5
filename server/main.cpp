#include "server/app.h"

int main(int argc, char** argv) {
    return TovrelMain(argc, argv);
}
