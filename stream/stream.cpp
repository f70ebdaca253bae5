#include "stream/stream.h"

int CStream::GetLength() {
    int saved = Seek(0, 1);
    int length = Seek(0, 2);
    Seek(saved, 0);
    return length;
}

int CStream::GetPosition() {
    return Seek(0, 1);
}
