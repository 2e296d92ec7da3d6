// The run report of a sender run.
#include "tool/report/run_report.hpp"

#include <cstdint>
#include <cstdio>

void print_report(const echomark_record* record, int count) {
    for (int i = 0; i < count && i < echomark_slots; i++) {
        std::printf("main(): i=%06d Stime=%.6f Rtime=%.6f\n", i, record->Stime[i], record->Rtime[i]);
    }
    print_summary("main():", record);
    std::fflush(stdout);
}

void print_summary(const char* who, const echomark_record* record) {
    std::printf("%s sendpkts=%d\n", who, record->sendpkts);
    std::printf("%s recvpkts=%d\n", who, record->recvpkts);
    // Wraps instead of overflowing when a foreign reply left INT_MAX there.
    std::printf("%s lastpkts+1=%d\n", who, static_cast<int>(static_cast<uint32_t>(record->lastpkts) + 1U));
    if (record->sendpkts <= 0) {
        std::printf("%s sendpkts==0\n", who);
    } else {
        std::printf("%s recvpkts/sendpkts=%05.3f[%%]\n", who,
                    static_cast<double>(record->recvpkts) * 100.0 / static_cast<double>(record->sendpkts));
    }
}
