#include "core/HostLookup.h"

#include <mutex>
#include <thread>
#include <utility>

namespace Tavo {

// Shared with the lookup threads, which may outlive the lookups' owner.
struct HostLookups::Mailbox {
    std::mutex Lock;
    Desktop* Host = nullptr;

    bool Open() {
        const std::lock_guard Guard(Lock);
        return Host != nullptr;
    }
};

HostLookups::HostLookups(Desktop& Host, Resolver ResolveName)
    : Box(std::make_shared<Mailbox>()), Resolve(std::move(ResolveName)) {
    Box->Host = &Host;
}

HostLookups::~HostLookups() {
    const std::lock_guard Guard(Box->Lock);
    Box->Host = nullptr;
}

void HostLookups::Start(const std::string& Name, std::function<void(const std::string& Address)> Done) {
    std::thread([Shared = Box, Resolve = Resolve, Name, Done = std::move(Done)]() mutable {
        std::string Address = Resolve(Name);
        const std::lock_guard Guard(Shared->Lock);
        if (!Shared->Host)
            return;
        Shared->Host->PostEvent([Shared, Done = std::move(Done), Address = std::move(Address)] {
            if (Shared->Open())
                Done(Address);
        });
    }).detach();
}

} // namespace Tavo
