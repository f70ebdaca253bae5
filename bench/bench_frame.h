#pragma once

#include <cstdint>
#include <string>

// The payload of a fan-out frame: printable text (the relay cuts payloads at
// the first NUL), "b" then run, sender, sequence and send time in fixed-width
// hex, padded with dots to the frame size. The run id lets receivers tell
// this run's frames from history replayed by the relay.
struct BenchFrame {
    std::uint32_t run = 0;
    std::uint32_t sender = 0;
    std::uint32_t seq = 0;
    std::int64_t sentNs = 0;
};

constexpr int kBenchFrameMinSize = 41;

// Appends a `size`-byte payload (size >= kBenchFrameMinSize), without the
// length that frames it on tovrel's wire.
void AppendBenchPayload(std::string& out, const BenchFrame& f, int size);
// Appends a frame whose payload is `size` dots: bulk data for throughput runs.
void AppendFillerFrame(std::string& out, int size);
// False when the payload is not a bench frame.
bool ParseBenchFrame(const unsigned char* payload, std::uint32_t length, BenchFrame& f);
