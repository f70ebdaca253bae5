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
    w.Labelled("tovrel_clients", "gauge", "Clients connected now, by listener kind.", "kind",
               m.connected, kListenerKindNames);
    w.Counter("tovrel_connections_accepted_total",
              "Connections accepted (\"New client connected\").", m.accepted);
    w.Labelled("tovrel_connections_refused_total", "counter",
               "Connections closed at accept (\"Connections refused\"), by the rule or limit.",
               "reason", m.refused, kRefusalCauseNames);
    w.Labelled("tovrel_disconnections_total", "counter",
               "Connections ended (\"Disconnected\"), by reason.", "reason", m.ended,
               kEndCauseNames);
    w.Counter("tovrel_messages_relayed_total",
              "Messages relayed to this instance's clients, each counted once.", m.messagesRelayed);
    w.Counter("tovrel_received_bytes_total", "Bytes received from clients.", m.bytesReceived);
    w.Counter("tovrel_sent_bytes_total", "Bytes sent to clients.", m.bytesSent);
    w.Counter("tovrel_pings_total", "\"@PING\" requests answered.", m.pings);
    w.Counter("tovrel_fast_commands_total", "\"@FASTCOMMANDS\" requests.", m.fastCommands);
    w.Counter("tovrel_denied_messages_total",
              "Messages of listen-only clients refused with \"@DENIED\".", m.deniedMessages);
    w.Labelled("tovrel_resumes_total", "counter",
               "\"@RESUME\" requests answered, by outcome: all replayed, some missed, or unknown.",
               "outcome", m.resumes, kResumeOutcomeNames);
    w.Counter("tovrel_resume_replayed_messages_total",
              "Kept messages replayed to resuming clients.", m.resumeReplayedMessages);
    w.Counter("tovrel_flood_holds_total",
              "Times a client over its message rate (--msg-rate) was held back.", m.holdBacks);
    w.Gauge("tovrel_flood_held_clients",
            "Clients held back now for their message rate, their messages waiting.", m.clientsHeld);
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
    w.Gauge("tovrel_queued_bytes",
            "Bytes queued to go out to clients, a shared message counted for each.", queued);
    w.Gauge("tovrel_largest_queue_bytes", "Bytes queued for the client with the most.", largest);
    w.Gauge("tovrel_memory_budget_bytes", "The memory budget (--max-memory).",
            server.memory.Limit());
    w.Gauge("tovrel_memory_budget_used_bytes", "Memory the clients hold against the budget.",
            server.memory.Total());
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
    w.Gauge("tovrel_room_link_up", "1 while the link to Redis is up, 0 otherwise.",
            room.up ? 1 : 0);
    w.Family("tovrel_room_link_down_seconds", "gauge",
             "How long the link to Redis has been down (0 while up).");
    w.SampleReal(room.downMs / 1000.0);
    w.Gauge("tovrel_room_held_messages", "Messages held for Redis, not yet written.",
            room.heldMessages);
    w.Counter("tovrel_room_entries_read_total", "Entries read from the room's stream.",
              room.entriesRead);
    w.Counter("tovrel_room_missed_messages_total",
              "Entries trimmed from the stream before this instance read them (\"Missed\").",
              room.missedMessages);
    w.Counter("tovrel_room_dropped_messages_total",
              "Local messages dropped while holding was full (\"Dropped\").", room.droppedMessages);
    w.Counter("tovrel_room_reconnects_total", "Connections to Redis begun after the first.",
              room.reconnects);
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
        w.Gauge("process_resident_memory_bytes", "Resident memory size in bytes.", p.residentBytes);
    }
    if (p.openFiles >= 0) {
        w.Gauge("process_open_fds", "Number of open file descriptors.", p.openFiles);
    }
    if (p.maxFiles >= 0) {
        w.Gauge("process_max_fds", "Maximum number of open file descriptors.", p.maxFiles);
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
    w.Gauge("tovrel_draining",
            "1 while the server drains its clients before it stops, 0 otherwise.",
            server_.Draining() ? 1 : 0);
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
