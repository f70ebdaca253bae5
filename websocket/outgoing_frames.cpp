#include "websocket/outgoing_frames.h"

void COutgoingFrames::Advance(const SendSlice* slices, int count, int sent) {
    int i = 0;
    int offset = 0;
    while (sent > 0 && i < count) {
        int available = slices[i].length - offset;
        if (available <= 0) {
            ++i;
            offset = 0;
            continue;
        }
        if (left_ > 0) {
            int take = available < sent ? available : sent;
            if (static_cast<unsigned long long>(take) > left_) {
                take = static_cast<int>(left_);
            }
            left_ -= static_cast<unsigned long long>(take);
            offset += take;
            sent -= take;
            continue;
        }
        unsigned char b = static_cast<const unsigned char*>(slices[i].data)[offset];
        ++offset;
        --sent;
        header_[have_++] = b;
        if (have_ == 2) {
            int short_length = b & 0x7F;
            need_ = 2 + (short_length == 126 ? 2 : (short_length == 127 ? 8 : 0));
        }
        if (have_ >= 2 && have_ == need_) {
            unsigned long long length = header_[1] & 0x7F;
            if (length >= 126) {
                length = 0;
                for (int k = 2; k < need_; ++k) {
                    length = (length << 8) | header_[k];
                }
            }
            left_ = length;
            have_ = 0;
            need_ = 2;
        }
    }
}
