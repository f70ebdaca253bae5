#include "server/metrics_glue.h"

#include "metrics/counters.h"
#include "metrics/exposition.h"
#include "platform/platform.h"
#include "server/room.h"
#include "server/server.h"
#include "server/settings.h"

namespace {
void WriteClients(CExposition& w) {
    const CMetrics& m = g_metrics;
    w.Family("tovrel_clients", "gauge", "Clients connected now, by listener kind.");
    for (int kind = 0; kind < static_cast<int>(ListenerKind::kCount); ++kind) {
        w.Sample(m.connected[kind], "kind", kListenerKindNames[kind]);
    }
    w.Family("tovrel_connections_accepted_total", "counter",
             "Connections accepted (\"New client connected\").");
    w.SampleUnsigned(m.accepted);
    w.Family("tovrel_connections_refused_total", "counter",
             "Connections closed at accept (\"Connections refused\"), by the rule or limit.");
    for (int cause = 0; cause < static_cast<int>(RefusalCause::kCount); ++cause) {
        w.SampleUnsigned(m.refused[cause], "reason", kRefusalCauseNames[cause]);
    }
    w.Family("tovrel_disconnections_total", "counter",
             "Connections ended (\"Disconnected\"), by reason.");
    for (int cause = 0; cause < static_cast<int>(EndCause::kCount); ++cause) {
        w.SampleUnsigned(m.ended[cause], "reason", kEndCauseNames[cause]);
    }
    w.Family("tovrel_messages_relayed_total", "counter",
             "Messages relayed to this instance's clients, each counted once.");
    w.SampleUnsigned(m.messagesRelayed);
    w.Family("tovrel_received_bytes_total", "counter", "Bytes received from clients.");
    w.SampleUnsigned(m.bytesReceived);
    w.Family("tovrel_sent_bytes_total", "counter", "Bytes sent to clients.");
    w.SampleUnsigned(m.bytesSent);
    w.Family("tovrel_pings_total", "counter", "\"@PING\" requests answered.");
    w.SampleUnsigned(m.pings);
    w.Family("tovrel_fast_commands_total", "counter", "\"@FASTCOMMANDS\" requests.");
    w.SampleUnsigned(m.fastCommands);
    w.Family("tovrel_denied_messages_total", "counter",
             "Messages of listen-only clients refused with \"@DENIED\".");
    w.SampleUnsigned(m.deniedMessages);
    w.Family("tovrel_resumes_total", "counter",
             "\"@RESUME\" requests answered, by outcome: all replayed, some missed, or unknown.");
    for (int outcome = 0; outcome < static_cast<int>(ResumeOutcome::kCount); ++outcome) {
        w.SampleUnsigned(m.resumes[outcome], "outcome", kResumeOutcomeNames[outcome]);
    }
    w.Family("tovrel_resume_replayed_messages_total", "counter",
             "Kept messages replayed to resuming clients.");
    w.SampleUnsigned(m.resumeReplayedMessages);
    w.Family("tovrel_flood_holds_total", "counter",
             "Times a client over its message rate (--msg-rate) was held back.");
    w.SampleUnsigned(m.holdBacks);
    w.Family("tovrel_flood_held_clients", "gauge",
             "Clients held back now for their message rate, their messages waiting.");
    w.Sample(m.clientsHeld);
}

void WriteMemory(CExposition& w, const CServer& server) {
    // One walk per scrape, not per pass: a few microseconds for thousands.
    long long queued = 0;
    long long largest = 0;
    for (const CClient* c = server.clients; c != nullptr; c = c->next) {
        long long q = static_cast<long long>(c->output.Size());
        queued += q;
        largest = q > largest ? q : largest;
    }
    w.Family("tovrel_queued_bytes", "gauge",
             "Bytes queued to go out to clients, a shared message counted for each.");
    w.Sample(queued);
    w.Family("tovrel_largest_queue_bytes", "gauge", "Bytes queued for the client with the most.");
    w.Sample(largest);
    w.Family("tovrel_memory_budget_bytes", "gauge", "The memory budget (--max-memory).");
    w.Sample(server.memory.Limit());
    w.Family("tovrel_memory_budget_used_bytes", "gauge",
             "Memory the clients hold against the budget.");
    w.Sample(server.memory.Total());
}

void WritePasses(CExposition& w) {
    const CMetrics& m = g_metrics;
    w.Histogram("tovrel_intake_bytes", "Bytes received from all clients in one pass.",
                m.intakeBytes, 1);
    w.Histogram("tovrel_pass_duration_seconds",
                "Time from the start of one pass to the next: the work and the 20 ms sleep.",
                m.passSeconds, 1e6);
    w.Histogram("tovrel_pass_work_seconds", "Time a pass works before its sleep.", m.workSeconds,
                1e6);
}

void WriteRoom(CExposition& w, const CRoom* joined) {
    if (joined == nullptr) {
        return;
    }
    CRoomStatus room = joined->Status();
    w.Family("tovrel_room_link_up", "gauge", "1 while the link to Redis is up, 0 otherwise.");
    w.Sample(room.up ? 1 : 0);
    w.Family("tovrel_room_link_down_seconds", "gauge",
             "How long the link to Redis has been down (0 while up).");
    w.SampleReal(room.downMs / 1000.0);
    w.Family("tovrel_room_held_messages", "gauge", "Messages held for Redis, not yet written.");
    w.Sample(room.heldMessages);
    w.Family("tovrel_room_entries_read_total", "counter", "Entries read from the room's stream.");
    w.SampleUnsigned(room.entriesRead);
    w.Family("tovrel_room_missed_messages_total", "counter",
             "Entries trimmed from the stream before this instance read them (\"Missed\").");
    w.SampleUnsigned(room.missedMessages);
    w.Family("tovrel_room_dropped_messages_total", "counter",
             "Local messages dropped while holding was full (\"Dropped\").");
    w.SampleUnsigned(room.droppedMessages);
    w.Family("tovrel_room_reconnects_total", "counter",
             "Connections to Redis begun after the first.");
    w.SampleUnsigned(room.reconnects);
}

void WriteProcess(CExposition& w) {
    ProcessFigures p = Platform().Process();
    if (p.startTimeSeconds >= 0) {
        w.Family("process_start_time_seconds", "gauge",
                 "Start time of the process since the Unix epoch in seconds.");
        w.SampleReal(p.startTimeSeconds);
    }
    if (p.cpuSeconds >= 0) {
        w.Family("process_cpu_seconds_total", "counter",
                 "Total user and system CPU time spent in seconds.");
        w.SampleReal(p.cpuSeconds);
    }
    if (p.residentBytes >= 0) {
        w.Family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
        w.Sample(p.residentBytes);
    }
    if (p.openFiles >= 0) {
        w.Family("process_open_fds", "gauge", "Number of open file descriptors.");
        w.Sample(p.openFiles);
    }
    if (p.maxFiles >= 0) {
        w.Family("process_max_fds", "gauge", "Maximum number of open file descriptors.");
        w.Sample(p.maxFiles);
    }
}
}  // namespace

bool CServerMetrics::Open() {
    if (g_settings.metricsPort == 0) {
        return true;
    }
    endpoint_.reset(new CMetricsEndpoint(*this));
    if (!endpoint_->Open(static_cast<std::uint32_t>(g_settings.metricsIPv4),
                         static_cast<std::uint16_t>(g_settings.metricsPort))) {
        endpoint_.reset();
        return false;
    }
    return true;
}

void CServerMetrics::AfterClients(const CDeadlines& /*clock*/) {
    if (endpoint_ != nullptr) {
        endpoint_->Serve();
    }
}

void CServerMetrics::WriteMetrics(std::string& out) {
    CExposition w(out);
    WriteClients(w);
    WriteMemory(w, server_);
    WritePasses(w);
    WriteRoom(w, room_);
    w.Family("tovrel_draining", "gauge",
             "1 while the server drains its clients before it stops, 0 otherwise.");
    w.Sample(server_.Draining() ? 1 : 0);
    WriteProcess(w);
}

std::string CServerMetrics::Unhealthy() {
    // A load balancer sends no one new to a server that is going.
    if (server_.Draining()) {
        return "draining";
    }
    if (room_ == nullptr) {
        return std::string();
    }
    CRoomStatus room = room_->Status();
    if (!room.up && room.downMs > kRoomDownUnhealthyMs) {
        return "Redis link down for " + std::to_string(room.downMs / 1000) + " s";
    }
    return std::string();
}

void CPassTimer::Worked() {
    std::uint64_t now = Platform().MicroTicks();
    if (started_) {
        g_metrics.workSeconds.Observe(static_cast<std::int64_t>(now - start_));
        g_metrics.intakeBytes.Observe(
            static_cast<std::int64_t>(g_metrics.bytesReceived - received_));
    }
    received_ = g_metrics.bytesReceived;
}

void CPassTimer::Slept() {
    std::uint64_t now = Platform().MicroTicks();
    if (started_) {
        g_metrics.passSeconds.Observe(static_cast<std::int64_t>(now - start_));
    }
    start_ = now;
    started_ = true;
}
