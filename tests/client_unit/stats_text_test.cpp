#include "tools/tovrel_client/stats_text.h"

#include <gtest/gtest.h>

TEST(StatsText, SumsKindsAndNamesOnlyTheReasonsThatHappened) {
    const std::string text =
        "# HELP tovrel_clients x\n# TYPE tovrel_clients gauge\n"
        "tovrel_clients{kind=\"tcp\"} 3\ntovrel_clients{kind=\"tls\"} 2\n"
        "tovrel_connections_accepted_total 9\n"
        "tovrel_disconnections_total{reason=\"peer_closed\"} 3\n"
        "tovrel_disconnections_total{reason=\"stall\"} 0\n"
        "tovrel_disconnections_total{reason=\"timeout\"} 1\n"
        "tovrel_messages_relayed_total 12\ntovrel_pings_total 1\ntovrel_fast_commands_total 0\n"
        "tovrel_received_bytes_total 2048\ntovrel_sent_bytes_total 3145728\n"
        "tovrel_memory_budget_bytes 1048576\ntovrel_memory_budget_used_bytes 943718\n"
        "tovrel_queued_bytes 100\ntovrel_largest_queue_bytes 60\n"
        "tovrel_pass_duration_seconds_bucket{le=\"0.025\"} 90\n"
        "tovrel_pass_duration_seconds_sum 2.1\ntovrel_pass_duration_seconds_count 100\n"
        "tovrel_pass_work_seconds_sum 0.05\ntovrel_pass_work_seconds_count 100\n"
        "tovrel_room_link_up 0\ntovrel_room_held_messages 4\n";
    EXPECT_EQ(SummarizeMetrics(text),
              "clients:  5 now (tcp 3, tls 2), 9 accepted, 4 gone (peer_closed 3, timeout 1)\n"
              "messages: 12 relayed, 1 pings, 0 fast commands; 2.0 KiB in, 3.0 MiB out\n"
              "memory:   921.6 KiB of 1.0 MiB budget (90.0 %); 100 B queued, largest 60 B\n"
              "passes:   100, mean 21.0 ms (work 0.50 ms), 10 over 25 ms\n"
              "room:     Redis link DOWN, 4 held, 0 read, 0 missed, 0 reconnects\n");
}

TEST(StatsText, NothingFromTextThatIsNoTovrelScrape) {
    EXPECT_EQ(SummarizeMetrics("go_goroutines 7\n"), "");
    EXPECT_EQ(SummarizeMetrics("\x16\x03garbage"), "");
}
