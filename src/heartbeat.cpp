#include "heartbeat.h"

#include "alert.h"

Heartbeat::Heartbeat(std::chrono::seconds period, Clock::time_point start)
    : period_(period), next_(start + period) {}

int Heartbeat::millisecondsUntilDue(Clock::time_point now) const {
    if (period_.count() == 0) return -1;
    if (now >= next_) return 0;
    return int(std::chrono::ceil<std::chrono::milliseconds>(next_ - now).count());
}

bool Heartbeat::due(Clock::time_point now) {
    if (period_.count() == 0 || now < next_) return false;
    next_ += period_;
    if (next_ <= now) next_ = now + period_;
    return true;
}

void Heartbeat::write(pcap_t* handle) {
    pcap_stat now{};
    if (pcap_stats(handle, &now) < 0) return;
    // Wrap-safe differences, as for the drop line.
    writeInfo("Heartbeat: %u packets received, %u dropped since the last heartbeat",
              now.ps_recv - reported_.ps_recv,
              (now.ps_drop - reported_.ps_drop) + (now.ps_ifdrop - reported_.ps_ifdrop));
    reported_ = now;
}
