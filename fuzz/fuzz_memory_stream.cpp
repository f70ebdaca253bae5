// Runs input-chosen sequences of CMemoryStream operations next to a plain
// model (a byte vector and a position) and stops at the first difference.
// The heap hook records every buffer's allocated length, refuses large
// requests as if memory ran out, and fails single allocations on demand.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "check.h"
#include "stream/heap.h"
#include "stream/memory_stream.h"

namespace {

// Larger requests fail as if the heap were exhausted. Kept small: every
// step compares the whole buffer with the model.
constexpr std::size_t kHeapLimit = 1 << 16;

struct HeapState {
    std::map<void*, std::size_t> lengths;  // allocated length of each live buffer
    bool failNext = false;
    int calls = 0;
    bool failed = false;
};
HeapState g_heap;

void* RecordingRealloc(void* block, std::size_t size) {
    ++g_heap.calls;
    if (g_heap.failNext || size > kHeapLimit) {
        g_heap.failNext = false;
        g_heap.failed = true;
        return nullptr;
    }
    void* result = std::realloc(block, size);
    if (result != nullptr) {
        g_heap.lengths.erase(block);
        g_heap.lengths[result] = size;
    }
    return result;
}

struct Model {
    std::vector<unsigned char> bytes;
    long long position = 0;
    int blockSize = 1024;

    long long RoundUp(long long n) const { return (n + blockSize - 1) / blockSize * blockSize; }
    long long MaxSize() const { return 0x80000000LL - blockSize; }
};

void CheckSame(const CMemoryStream& s, const Model& m) {
    CHECK(s.size == static_cast<long long>(m.bytes.size()));
    CHECK(s.position == m.position);
    CHECK(s.blockSize == m.blockSize);
    CHECK(s.Capacity() == m.RoundUp(s.size));
    CHECK((s.data == nullptr) == (s.Capacity() == 0));
    if (s.data != nullptr) {
        auto found = g_heap.lengths.find(s.data);
        CHECK(found != g_heap.lengths.end());
        CHECK(found->second == static_cast<std::size_t>(s.Capacity()));
        CHECK(m.bytes.empty() || std::memcmp(s.data, m.bytes.data(), m.bytes.size()) == 0);
    }
}

int PickSize(FuzzedDataProvider& in, const Model& m) {
    switch (in.ConsumeIntegralInRange(0, 4)) {
        case 0:
            return in.ConsumeIntegralInRange(-3, 5000);
        case 1: {
            long long near = m.MaxSize() + in.ConsumeIntegralInRange(-2, 2);
            return static_cast<int>(near > INT_MAX ? INT_MAX : near);
        }
        case 2:
            return in.PickValueInArray({INT_MIN, INT_MAX, -1, 0});
        case 3:
            return in.ConsumeIntegralInRange(0, 1 << 17);
        default:
            return static_cast<int>(m.bytes.size()) + in.ConsumeIntegralInRange(-1100, 1100);
    }
}

void DoSetSize(CMemoryStream& s, Model& m, int n) {
    long long wanted = n < 0 ? 0 : n;
    long long oldCapacity = m.RoundUp(static_cast<long long>(m.bytes.size()));
    long long newCapacity = m.RoundUp(wanted);
    unsigned char* oldData = s.data;
    g_heap.calls = 0;
    g_heap.failed = false;
    bool ok = s.SetSize(n);
    if (wanted > m.MaxSize()) {
        CHECK(!ok);
        CHECK(g_heap.calls == 0);
        return;
    }
    // The heap is asked exactly when the block-rounded capacity changes to
    // something non-zero.
    bool asks = oldCapacity != newCapacity && newCapacity > 0;
    CHECK(g_heap.calls == (asks ? 1 : 0));
    if (g_heap.failed) {
        // Growing or shrinking, a refused reallocation changes nothing.
        CHECK(!ok);
        CHECK(s.data == oldData);
        return;
    }
    CHECK(ok);
    m.bytes.resize(static_cast<std::size_t>(wanted));
    // Bytes beyond the old size are unspecified: adopt what the stream holds.
    if (s.data != nullptr) {
        std::memcpy(m.bytes.data(), s.data, m.bytes.size());
    }
    if (m.position > wanted) {
        m.position = wanted;
    }
}

void DoWrite(FuzzedDataProvider& in, CMemoryStream& s, Model& m) {
    bool huge = in.ConsumeBool() && in.ConsumeBool();
    int count =
        huge ? INT_MAX - in.ConsumeIntegralInRange(0, 4096) : in.ConsumeIntegralInRange(-3, 3000);
    // Bytes from a fixed pattern at an input-chosen offset: cheap, and a
    // copy to the wrong place shows as a difference from the model.
    static const std::vector<unsigned char> pattern = [] {
        std::vector<unsigned char> p(4096 + 256);
        for (std::size_t i = 0; i < p.size(); ++i) {
            p[i] = static_cast<unsigned char>(i * 7 + i / 251);
        }
        return p;
    }();
    std::vector<unsigned char> src(count > 0 && !huge ? static_cast<std::size_t>(count) : 16);
    std::memcpy(src.data(), pattern.data() + in.ConsumeIntegral<unsigned char>(), src.size());
    if (in.ConsumeBool()) {
        g_heap.failNext = in.ConsumeBool();
    }
    std::vector<unsigned char> before = m.bytes;
    g_heap.failed = false;
    int written = s.Write(src.data(), count);
    g_heap.failNext = false;
    if (count <= 0) {
        CHECK(written == 0);
        return;
    }
    long long end = m.position + count;
    if (end > m.MaxSize() || (end > static_cast<long long>(m.bytes.size()) && g_heap.failed)) {
        CHECK(written == 0);
        return;
    }
    CHECK(written == count);
    if (end > static_cast<long long>(m.bytes.size())) {
        m.bytes.resize(static_cast<std::size_t>(end));
    }
    std::memcpy(m.bytes.data() + m.position, src.data(), static_cast<std::size_t>(count));
    m.position = end;
}

void DoRead(FuzzedDataProvider& in, CMemoryStream& s, Model& m) {
    int count = in.ConsumeBool() ? in.ConsumeIntegralInRange(-3, 3000)
                                 : in.PickValueInArray({INT_MAX, INT_MIN, 0});
    long long left = static_cast<long long>(m.bytes.size()) - m.position;
    long long expected = count <= 0 ? 0 : (count < left ? count : left);
    // Exactly as large as the expected result, so an overrun is caught.
    std::vector<unsigned char> dst(static_cast<std::size_t>(expected));
    int got = s.Read(dst.data(), count);
    CHECK(got == expected);
    CHECK(expected == 0 || std::memcmp(dst.data(), m.bytes.data() + m.position, dst.size()) == 0);
    m.position += expected;
}

void DoSeek(FuzzedDataProvider& in, CMemoryStream& s, Model& m) {
    int origin = in.ConsumeIntegralInRange(-1, 4);
    int offset =
        in.ConsumeBool() ? in.ConsumeIntegral<int>() : in.ConsumeIntegralInRange(-20, 5000);
    long long target = m.position;
    if (origin == 0) {
        target = offset;
    } else if (origin == 1) {
        target = m.position + offset;
    } else if (origin == 2) {
        target = static_cast<long long>(m.bytes.size()) + offset;
    }
    if (target > static_cast<long long>(m.bytes.size())) {
        target = static_cast<long long>(m.bytes.size());
    } else if (target < 0) {
        target = 0;
    }
    CHECK(s.Seek(offset, origin) == target);
    m.position = target;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    SetHeapRealloc(RecordingRealloc);
    Model m;
    m.blockSize = 1 << in.ConsumeIntegralInRange(0, 12);
    {
        CMemoryStream s(m.blockSize);
        CheckSame(s, m);
        for (int step = 0; step < 400 && in.remaining_bytes() > 0; ++step) {
            switch (in.ConsumeIntegralInRange(0, 6)) {
                case 0: {
                    int n = PickSize(in, m);
                    g_heap.failNext = in.ConsumeBool() && in.ConsumeBool();
                    DoSetSize(s, m, n);
                    g_heap.failNext = false;
                    break;
                }
                case 1:
                    DoWrite(in, s, m);
                    break;
                case 2:
                    DoRead(in, s, m);
                    break;
                case 3:
                    DoSeek(in, s, m);
                    break;
                case 4: {
                    long long position = m.position;
                    CHECK(s.GetLength() == static_cast<long long>(m.bytes.size()));
                    CHECK(s.position == position);
                    break;
                }
                case 5:
                    CHECK(s.GetPosition() == m.position);
                    break;
                default:
                    // The owner's direct access: move the position itself.
                    m.position = in.ConsumeIntegralInRange<long long>(
                        0, static_cast<long long>(m.bytes.size()));
                    s.position = static_cast<int>(m.position);
                    break;
            }
            CheckSame(s, m);
        }
    }
    SetHeapRealloc(nullptr);
    g_heap.lengths.clear();
    return 0;
}
