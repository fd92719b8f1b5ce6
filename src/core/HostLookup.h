#pragma once
// Name lookups off the user-interface thread: a lookup can take many seconds when a name server does not
// answer, and the poll, the tray and the other units must go on meanwhile. Each lookup runs on a thread
// of its own, which does nothing but the lookup; its result comes back through the desktop's event queue.

#include <functional>
#include <memory>
#include <string>

#include "core/Desktop.h"

namespace Tavo {

// Name -> dotted quad of its first IPv4 address, or empty. Blocks.
using Resolver = std::function<std::string(const std::string& Name)>;

class HostLookups {
  public:
    HostLookups(Desktop& Host, Resolver Resolve);
    // Results still under way are dropped when they come.
    ~HostLookups();
    HostLookups(const HostLookups&) = delete;
    HostLookups& operator=(const HostLookups&) = delete;

    // Done runs later on the user-interface thread, from the event queue, with the result.
    void Start(const std::string& Name, std::function<void(const std::string& Address)> Done);

  private:
    struct Mailbox;
    std::shared_ptr<Mailbox> Box;
    Resolver Resolve;
};

} // namespace Tavo
