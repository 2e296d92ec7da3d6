// Every option the usage line leaves out gets one line here, so --help is
// the one place a user finds them all (the man page has the details).
#include "tool/cli/help_text.hpp"

#ifndef ECHOMARK_VERSION
#define ECHOMARK_VERSION "unknown"
#endif

namespace {

const char* const option_lines[] = {
    "  -6                     -h names a host: use its IPv6 address (IPv6 text needs no -6)",
    "  --help                 this text",
    "  --version              the program's version",
    "  --count=<n>            probes to send, also beyond 10000 (the table and the files keep the first 10000)",
    "  --duration=<seconds>   send until this much time has passed (with --count or -c: whichever ends first)",
    "  --every=<seconds>      one line per interval: sent, received, loss, RTT median and p99",
    "  --fail-loss=<percent>  exit status 2 when the loss is above this",
    "  --fail-rtt=<p>:<s>     exit status 2 when the round trip's figure p (p50, p99, median, max, ...) is above s seconds",
    "  --fail-jitter=<s>      exit status 2 when the mean delay variation is above s seconds",
    "  --rate=<per second>    send probes on a schedule at this rate, whatever the replies do",
    "  --send-interval=<s>    the same, given as the seconds between probes",
    "  --schedule=<kind>      fixed (default) or poisson: exponential gaps with that mean",
    "  --seed=<n>             seed of the poisson gaps, to repeat a run (printed when drawn)",
    "  --stats                statistics block after the run report",
    "  --precise              Stime and Rtime from the monotonic clock, to the nanosecond",
    "  --csv=<file|->         per-probe table and summary as CSV; '-': standard output, the log to stderr",
    "  --json=<file|->        the same as JSON",
    "  --svg=<file|->         picture of the round trips over the run and their distribution, as SVG",
    "  --quiet                no per-step lines; a progress line on a terminal",
    "  --interval=<seconds>   pause after each good reply (default 0.001)",
    "  --tos=<0..255>         type of service (IPv6: traffic class) of the probes",
    "  --ttl=<1..255>         time to live (IPv6: hop limit) of the probes",
    "  --maxreply=<bytes>     responder: no reply to requests for more than this",
    "  --echo                 responder: answer every datagram with its own bytes (plain echo clients)",
    "  --nobudget             responder: no limit on replies beyond 16 times what an address sent",
    "  --stamp[=<mode>]       STAMP/TWAMP-Light (port 862): a session-sender; with -l a reflector, stateless or stateful",
    "  --oneway               probes ask the far end for its times: one-way delays, loss, TTL and TOS each way",
    "  --ssid=<0..65535>      the SSID of --stamp test packets (RFC 8972)",
    "  --metrics=[<a>:]<port> Prometheus metrics at /metrics on <a> (default 127.0.0.1; IPv6 as [::1]); a sender needs a schedule",
    "  --target=<host[:port]> probe this target too (again for each; IPv6 as [::1]:port; without a port: -p)",
    "  --targets=<file>       the targets in a file, one a line, '#' comments; names looked up again every 3 minutes",
    "  --flows=<n>            probe each target from n source ports (1..64), figures per flow, a flow that stands apart named",
};

}  // namespace

void help_print_options(std::FILE* out) {
    std::fputs("Options beyond the usage line (each is off unless given):\n", out);
    for (const char* line : option_lines) {
        std::fputs(line, out);
        std::fputc('\n', out);
    }
}

void help_print_version(std::FILE* out) { std::fputs("echomark " ECHOMARK_VERSION "\n", out); }
