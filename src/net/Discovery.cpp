#include "net/Discovery.h"

#include <arpa/inet.h>
#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <optional>
#include <tuple>

#include "net/IpAddress.h"

namespace tandem {

namespace {

constexpr const char* kTypes[] = {"_tandem._udp", "_apple-midi._udp"};
// How long to wait before asking again for a daemon we could not reach at all (no system bus):
// with one, the client library waits for the daemon by itself.
constexpr int kRetryMs = 3000;

const char* TypeOf(ServiceKind kind) {
  return kTypes[static_cast<int>(kind)];
}

std::optional<ServiceKind> KindOf(const char* type) {
  for (int i = 0; i < 2; ++i) {
    if (type && std::strcmp(type, kTypes[i]) == 0) return static_cast<ServiceKind>(i);
  }
  return std::nullopt;
}

// Which address of a session to dial, best first: IPv4 reaches it whatever the interface, a
// global IPv6 address too; a link-local one only through the interface it was seen on.
struct Resolved {
  std::string address;
  uint16_t port = 0;
  int rank = 0;  // 3 IPv4, 2 global IPv6, 1 link-local IPv6
};

std::optional<Resolved> FromAvahi(const AvahiAddress& a, AvahiIfIndex interface, uint16_t port) {
  IpAddress ip;
  int rank = 0;
  if (a.proto == AVAHI_PROTO_INET) {
    ip = IpAddress::V4(ntohl(a.data.ipv4.address));
    rank = 3;
  } else if (a.proto == AVAHI_PROTO_INET6) {
    std::array<uint8_t, 16> bytes{};
    std::memcpy(bytes.data(), a.data.ipv6.address, 16);
    const bool linkLocal = bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80;
    if (linkLocal && interface <= 0) return std::nullopt;
    ip = IpAddress::V6(bytes, linkLocal ? static_cast<uint32_t>(interface) : 0).Unmapped();
    rank = linkLocal ? 1 : 2;
  } else {
    return std::nullopt;
  }
  if (ip.NamesNoPeer()) return std::nullopt;
  return Resolved{ToString(ip), port, rank};
}

}  // namespace

const char* ServiceLabel(ServiceKind kind) {
  return kind == ServiceKind::kRtpMidi ? "RTP-MIDI" : "Tandem";
}

std::string NearbyLine(const NearbyService& service) {
  return service.name + " \u00b7 " + ServiceLabel(service.kind);
}

std::string NearbyEndpoint(const NearbyService& service) {
  const bool v6 = service.address.find(':') != std::string::npos;
  return (v6 ? "[" + service.address + "]" : service.address) + ":" + std::to_string(service.port);
}

struct Discovery::Impl {
  struct Wanted {
    bool on = false;
    ServiceKind kind = ServiceKind::kTandem;
    std::string name;
    uint16_t port = 0;
    bool operator==(const Wanted&) const = default;
  };
  // One sighting of a session: the same one is seen once per interface and address family.
  struct Instance {
    AvahiIfIndex interface;
    AvahiProtocol protocol;
    AvahiServiceResolver* resolver = nullptr;
    std::optional<Resolved> resolved;
  };
  using Key = std::pair<std::string, ServiceKind>;

  Impl(Discovery& owner, bool browse) : owner(owner), browse(browse) {}

  // ---- Any thread, under mutex.
  Discovery& owner;
  const bool browse;
  mutable std::mutex mutex;
  Wanted wanted;
  DiscoveryView view;

  // ---- The daemon's thread only (or before it starts and after it stopped).
  AvahiThreadedPoll* threaded = nullptr;
  const AvahiPoll* api = nullptr;
  AvahiClient* client = nullptr;
  AvahiTimeout* connectTimer = nullptr;
  AvahiWatch* wakeWatch = nullptr;
  int wakeFd = -1;
  std::array<AvahiServiceBrowser*, 2> browsers{};
  std::array<bool, 2> allForNow{};
  AvahiEntryGroup* group = nullptr;
  Wanted applied;     // what the group holds (or is registering)
  std::string inUse;  // the name it holds it under
  bool established = false;
  bool running = false;
  bool lost = false;  // the daemon was there once and went away
  bool tried = false;
  std::string failure;
  std::map<Key, std::vector<Instance>> found;

  // ---- The daemon's thread.

  void Connect() {
    int error = 0;
    client = avahi_client_new(api, AVAHI_CLIENT_NO_FAIL, &Impl::OnClient, this, &error);
    tried = true;
    if (!client) {
      // No system bus at all: look again later. The callback may have seen the client the
      // library has freed since.
      client = nullptr;
      Unavailable();
      timeval tv;
      api->timeout_update(connectTimer, avahi_elapse_time(&tv, kRetryMs, 0));
    }
    Publish();
  }

  static void OnConnectTimer(AvahiTimeout*, void* self) {
    auto* d = static_cast<Impl*>(self);
    d->api->timeout_update(d->connectTimer, nullptr);
    if (d->client) {
      avahi_client_free(d->client);  // a client that failed, freed outside its own callback
      d->client = nullptr;
    }
    d->Connect();
  }

  static void OnWake(AvahiWatch*, int fd, AvahiWatchEvent, void* self) {
    uint64_t n;
    while (::read(fd, &n, sizeof n) > 0) {
    }
    static_cast<Impl*>(self)->Apply();
  }

  static void OnClient(AvahiClient* c, AvahiClientState state, void* self) {
    auto* d = static_cast<Impl*>(self);
    d->client = c;  // the first call comes before avahi_client_new returns
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        d->running = true;
        d->lost = false;
        d->StartBrowsing();
        d->Apply();
        d->Publish();
        break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        // The host's own name is being settled: our records go until it is.
        d->DropGroup();
        d->Publish();
        break;
      case AVAHI_CLIENT_CONNECTING:
        // No daemon yet, or it went away; the library waits for it.
        d->Unavailable();
        break;
      case AVAHI_CLIENT_FAILURE: {
        d->Unavailable();
        timeval tv;
        d->api->timeout_update(d->connectTimer, avahi_elapse_time(&tv, kRetryMs / 3, 0));
        break;
      }
    }
  }

  void Unavailable() {
    if (running) lost = true;
    running = false;
    DropEverything();
    Publish();
  }

  void DropGroup() {
    if (group) avahi_entry_group_free(group);
    group = nullptr;
    applied = {};
    established = false;
  }

  void DropEverything() {
    DropGroup();
    for (auto& b : browsers) {
      if (b) avahi_service_browser_free(b);
      b = nullptr;
    }
    allForNow = {};
    for (auto& [key, instances] : found) {
      for (auto& i : instances) {
        if (i.resolver) avahi_service_resolver_free(i.resolver);
      }
    }
    found.clear();
  }

  void StartBrowsing() {
    if (!browse) return;
    for (int i = 0; i < 2; ++i) {
      if (browsers[i]) continue;
      allForNow[i] = false;
      browsers[i] =
          avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, kTypes[i], nullptr,
                                    AvahiLookupFlags(0), &Impl::OnBrowse, this);
      if (!browsers[i]) failure = avahi_strerror(avahi_client_errno(client));
    }
  }

  static void OnBrowse(AvahiServiceBrowser* b, AvahiIfIndex interface, AvahiProtocol protocol,
                       AvahiBrowserEvent event, const char* name, const char* type,
                       const char* domain, AvahiLookupResultFlags flags, void* self) {
    auto* d = static_cast<Impl*>(self);
    const int which = b == d->browsers[1] ? 1 : 0;
    switch (event) {
      case AVAHI_BROWSER_NEW: {
        auto kind = KindOf(type);
        // Our own announcement is not a partner.
        if (!kind || (flags & AVAHI_LOOKUP_RESULT_OUR_OWN)) return;
        auto& instances = d->found[{name, *kind}];
        for (auto& i : instances) {
          if (i.interface == interface && i.protocol == protocol) return;
        }
        Instance instance;
        instance.interface = interface;
        instance.protocol = protocol;
        instance.resolver = avahi_service_resolver_new(d->client, interface, protocol, name, type,
                                                       domain, AVAHI_PROTO_UNSPEC,
                                                       AvahiLookupFlags(0), &Impl::OnResolve, d);
        instances.push_back(instance);
        break;
      }
      case AVAHI_BROWSER_REMOVE: {
        auto kind = KindOf(type);
        if (!kind) return;
        auto it = d->found.find({name, *kind});
        if (it == d->found.end()) return;
        auto& instances = it->second;
        for (auto i = instances.begin(); i != instances.end();) {
          if (i->interface == interface && i->protocol == protocol) {
            if (i->resolver) avahi_service_resolver_free(i->resolver);
            i = instances.erase(i);
          } else {
            ++i;
          }
        }
        if (instances.empty()) d->found.erase(it);
        break;
      }
      case AVAHI_BROWSER_ALL_FOR_NOW:
        d->allForNow[which] = true;
        break;
      case AVAHI_BROWSER_FAILURE:
        // The daemon went away under us: the client's state says so next.
        return;
      case AVAHI_BROWSER_CACHE_EXHAUSTED:
        return;
    }
    d->Publish();
  }

  static void OnResolve(AvahiServiceResolver* r, AvahiIfIndex interface, AvahiProtocol protocol,
                        AvahiResolverEvent event, const char* name, const char* type, const char*,
                        const char*, const AvahiAddress* address, uint16_t port, AvahiStringList*,
                        AvahiLookupResultFlags, void* self) {
    auto* d = static_cast<Impl*>(self);
    auto kind = KindOf(type);
    if (kind) {
      auto it = d->found.find({name, *kind});
      if (it != d->found.end()) {
        for (auto& i : it->second) {
          if (i.resolver != r) continue;
          (void)interface;
          (void)protocol;
          if (event == AVAHI_RESOLVER_FOUND && address)
            i.resolved = FromAvahi(*address, i.interface, port);
          i.resolver = nullptr;
        }
      }
    }
    // One answer is enough: a session that moves is removed and found anew.
    avahi_service_resolver_free(r);
    d->Publish();
  }

  // Brings the announcement to what was asked last.
  void Apply() {
    Wanted w;
    {
      std::lock_guard lock(mutex);
      w = wanted;
    }
    if (!running || w == applied) return;
    if (group) avahi_entry_group_reset(group);
    established = false;
    if (w.name != applied.name) inUse = w.name;
    applied = w;
    if (w.on) Register();
    Publish();
  }

  void Register() {
    if (!group) group = avahi_entry_group_new(client, &Impl::OnGroup, this);
    if (!group) {
      failure = avahi_strerror(avahi_client_errno(client));
      return;
    }
    failure.clear();
    for (int attempt = 0; attempt < 50; ++attempt) {
      int r = avahi_entry_group_add_service(
          group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), inUse.c_str(),
          TypeOf(applied.kind), nullptr, nullptr, applied.port, nullptr);
      if (r == AVAHI_ERR_COLLISION) {
        NextName();
        continue;
      }
      if (r >= 0) r = avahi_entry_group_commit(group);
      if (r < 0) failure = avahi_strerror(r);
      return;
    }
  }

  void NextName() {
    char* next = avahi_alternative_service_name(inUse.c_str());
    inUse = next;
    avahi_free(next);
  }

  static void OnGroup(AvahiEntryGroup* g, AvahiEntryGroupState state, void* self) {
    auto* d = static_cast<Impl*>(self);
    if (g != d->group && d->group) return;
    switch (state) {
      case AVAHI_ENTRY_GROUP_ESTABLISHED:
        d->established = true;
        break;
      case AVAHI_ENTRY_GROUP_COLLISION:
        // Someone on the network holds the name: take the next one ("NAME #2").
        d->NextName();
        avahi_entry_group_reset(g);
        d->established = false;
        d->Register();
        break;
      case AVAHI_ENTRY_GROUP_FAILURE:
        d->failure = avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(g)));
        d->established = false;
        break;
      default:
        return;
    }
    d->Publish();
  }

  // Hands what the daemon's thread knows to the readers.
  void Publish() {
    DiscoveryView next;
    next.tried = tried;
    next.available = running;
    if (running && established && applied.on) next.announcedName = inUse;
    if (!tried) {
      next.status.clear();
    } else if (!running) {
      next.status =
          lost ? "unavailable (the Avahi daemon stopped)" : "unavailable (no Avahi daemon)";
    } else if (!failure.empty()) {
      next.status = "Avahi: " + failure;
    } else if (!next.announcedName.empty()) {
      next.status = "announced as " + next.announcedName;
    } else if (applied.on) {
      next.status = "announcing " + inUse;
    } else if (browse) {
      next.status = "searching";
    }
    bool resolving = false;
    for (const auto& [key, instances] : found) {
      const Resolved* best = nullptr;
      for (const auto& i : instances) {
        resolving = resolving || i.resolver;
        if (i.resolved && (!best || i.resolved->rank > best->rank)) best = &*i.resolved;
      }
      if (best) next.services.push_back({key.first, key.second, best->address, best->port});
    }
    next.settled = !browse || (running && allForNow[0] && allForNow[1] && !resolving);
    std::lock_guard lock(mutex);
    if (next.status == view.status && next.announcedName == view.announcedName &&
        next.services == view.services && next.settled == view.settled &&
        next.available == view.available && next.tried == view.tried)
      return;
    view = std::move(next);
    owner.version_.fetch_add(1);
  }
};

Discovery::Discovery(bool browse) : impl_(std::make_unique<Impl>(*this, browse)) {
  Impl& d = *impl_;
  d.threaded = avahi_threaded_poll_new();
  if (!d.threaded) return;
  d.api = avahi_threaded_poll_get(d.threaded);
  d.wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (d.wakeFd >= 0)
    d.wakeWatch = d.api->watch_new(d.api, d.wakeFd, AVAHI_WATCH_IN, &Impl::OnWake, &d);
  // The first connection is made on the daemon's thread too: even that never holds up the caller.
  timeval now;
  d.connectTimer =
      d.api->timeout_new(d.api, avahi_elapse_time(&now, 0, 0), &Impl::OnConnectTimer, &d);
  if (avahi_threaded_poll_start(d.threaded) < 0) {
    avahi_threaded_poll_free(d.threaded);
    d.threaded = nullptr;
  }
}

Discovery::~Discovery() {
  Impl& d = *impl_;
  if (d.threaded) {
    avahi_threaded_poll_stop(d.threaded);
    // Freeing the group takes our records off the network (with a goodbye, so others drop them
    // at once); freeing the client ends the rest.
    d.DropEverything();
    if (d.client) avahi_client_free(d.client);
    d.client = nullptr;
    avahi_threaded_poll_free(d.threaded);  // frees its watches and timeouts too
  }
  if (d.wakeFd >= 0) ::close(d.wakeFd);
}

void Discovery::Announce(ServiceKind kind, const std::string& name, uint16_t port) {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->wanted = {true, kind, name, port};
  }
  uint64_t one = 1;
  if (impl_->wakeFd >= 0) (void)!::write(impl_->wakeFd, &one, sizeof one);
}

void Discovery::Withdraw() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->wanted = {};
  }
  uint64_t one = 1;
  if (impl_->wakeFd >= 0) (void)!::write(impl_->wakeFd, &one, sizeof one);
}

DiscoveryView Discovery::View() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->view;
}

}  // namespace tandem
