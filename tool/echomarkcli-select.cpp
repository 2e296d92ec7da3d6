// The measurement record, and the responder and the sender with the settings
// of a run without opt-in options.
#include "tool/echomarkcli-select.hpp"

#include <memory>
#include <new>

#include "tool/responder/responder.hpp"
#include "tool/sender/sender.hpp"

echomark_record echomarkdata;
echomark_record* echomarkinfo = nullptr;

int echomark_listen(const char* ipaddr, int ipport) {
    // The responder's tables and batch buffers (over 2 MiB) are taken once,
    // before it serves; nothing is allocated while it runs.
    std::unique_ptr<responder> state(new (std::nothrow) responder);
    if (!state) return -1;
    responder_settings settings;
    responder_init(state.get(), &settings);
    return responder_listen(state.get(), ipaddr, ipport);
}

void echomark_connect(const char* ipaddr, int ipport, double timeout, int count, int sendsize, int recvsize,
                      echomark_record* record) {
    sender_settings settings;
    settings.ipaddr = ipaddr;
    settings.ipport = ipport;
    settings.timeout = timeout;
    settings.count = count;
    settings.sendsize = sendsize;
    settings.recvsize = recvsize;
    // The figures beside the record, for a run that stays within its slots.
    probe_facts facts;
    long_run whole;
    recorder rec = {record, &facts, &whole, nullptr};
    sender_run(&settings, &rec);
}
