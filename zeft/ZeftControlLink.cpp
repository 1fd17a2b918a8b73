#include "zeft/ZeftControlLink.h"

#include <thread>

bool ZeftSrvCore::Post(std::function<void()> task) {
    posting.fetch_add(1);
    bool ok = false;
    if (!detached.load())
        ok = poster->PostTask(std::move(task));
    posting.fetch_sub(1);
    return ok;
}

void ZeftSrvCore::Detach() {
    detached.store(true);
    while (posting.load() != 0)
        std::this_thread::yield();
}

std::vector<uint8_t> ZeftSrvCore::Execute(const ZeftWireCall& call) const {
    return target ? target->Execute(call) : ZeftRefusalBody(kZeftIllegalEquipment);
}
