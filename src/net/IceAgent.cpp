#include "net/IceAgent.h"

#include <netdb.h>
#include <nice/agent.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace tandem {

namespace {

constexpr guint kComponent = 1;  // RTP and RTCP multiplexed on one (RFC 5761)
constexpr size_t kMaxQueued = 1024;
constexpr size_t kMaxCandidates = 8;  // what a pasted code has room for
constexpr guint kRestartDelayMs = 1000;
// Routers forget an idle mapping after about 30 s; a code may wait minutes for its answer.
constexpr guint kKeepaliveMs = 15000;
// The stand-in partner's credentials while we wait: checks to our own server that no answer
// satisfies (RFC 8445 5.3: 4 and 22 ice-chars at least).
constexpr const char* kHoldUfrag = "hold";
constexpr const char* kHoldPwd = "holdholdholdholdholdhold";

// libnice wants numeric server addresses.
std::string Resolve(const std::string& host) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    throw std::runtime_error("cannot resolve " + host);
  }
  sockaddr_storage a{};
  std::memcpy(&a, found->ai_addr, std::min<size_t>(found->ai_addrlen, sizeof a));
  ::freeaddrinfo(found);
  return ToString(FromSockaddr(a).Unmapped());
}

IceCandidate::Type FromNice(NiceCandidateType t) {
  switch (t) {
    case NICE_CANDIDATE_TYPE_SERVER_REFLEXIVE:
      return IceCandidate::Type::kServerReflexive;
    case NICE_CANDIDATE_TYPE_PEER_REFLEXIVE:
      return IceCandidate::Type::kPeerReflexive;
    case NICE_CANDIDATE_TYPE_RELAYED:
      return IceCandidate::Type::kRelayed;
    default:
      return IceCandidate::Type::kHost;
  }
}

NiceCandidateType ToNice(IceCandidate::Type t) {
  switch (t) {
    case IceCandidate::Type::kServerReflexive:
      return NICE_CANDIDATE_TYPE_SERVER_REFLEXIVE;
    case IceCandidate::Type::kPeerReflexive:
      return NICE_CANDIDATE_TYPE_PEER_REFLEXIVE;
    case IceCandidate::Type::kRelayed:
      return NICE_CANDIDATE_TYPE_RELAYED;
    default:
      return NICE_CANDIDATE_TYPE_HOST;
  }
}

std::string Describe(const NiceCandidate* c) {
  char text[NICE_ADDRESS_STRING_LEN] = {};
  nice_address_to_string(&c->addr, text);
  return std::string(text) + ":" + std::to_string(nice_address_get_port(&c->addr));
}

bool Usable(const IpAddress& a) {
  // A link-local address names an interface of its own host: of no use to a partner elsewhere.
  if (a.IsV6() && a.bytes[0] == 0xfe && (a.bytes[1] & 0xc0) == 0x80) return false;
  return !a.NamesNoPeer();
}

}  // namespace

struct IceAgent::Impl {
  GMainContext* context = nullptr;
  GMainLoop* loop = nullptr;
  NiceAgent* agent = nullptr;
  guint stream = 0;
  std::thread thread;
  int eventFd = -1;
  bool stunNamed = false;

  mutable std::mutex mutex;
  std::condition_variable gatheredCv;
  bool gathered = false;
  bool remoteSet = false;
  IpAddress peer;
  // For checking again on our own: nobody carries new codes between the players once they have
  // pasted theirs, so a restart keeps both sides' credentials and candidates.
  IceDescription remote;
  std::string localUfrag, localPwd;
  bool wasConnected = false;
  GSource* restartTimer = nullptr;  // on the agent's thread only
  // While no partner is named, checks go to our own STUN/TURN server every kKeepaliveMs: they
  // refresh the routers' mappings of our server-reflexive and relayed candidates, which libnice
  // leaves idle until the checks start. On the agent's thread only.
  std::string holdServer;
  uint16_t holdPort = 0;
  bool holding = false;
  GSource* holdTimer = nullptr;
  IceStatus status;
  std::deque<std::vector<uint8_t>> queue;
  uint64_t overflowed = 0;

  static void OnReceive(NiceAgent*, guint, guint, guint length, gchar* bytes, gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    std::lock_guard lock(impl->mutex);
    if (impl->queue.size() >= kMaxQueued) {
      ++impl->overflowed;
      return;
    }
    impl->queue.emplace_back(reinterpret_cast<uint8_t*>(bytes),
                             reinterpret_cast<uint8_t*>(bytes) + length);
    if (impl->eventFd >= 0) {
      const uint64_t one = 1;
      [[maybe_unused]] ssize_t n = ::write(impl->eventFd, &one, sizeof one);
    }
  }

  static void OnGathered(NiceAgent* agent, guint stream, gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    bool reflexive = false;
    GSList* list = nice_agent_get_local_candidates(agent, stream, kComponent);
    for (GSList* i = list; i; i = i->next) {
      auto* c = static_cast<NiceCandidate*>(i->data);
      reflexive = reflexive || c->type == NICE_CANDIDATE_TYPE_SERVER_REFLEXIVE;
      nice_candidate_free(c);
    }
    g_slist_free(list);
    std::lock_guard lock(impl->mutex);
    impl->gathered = true;
    impl->status.stunFailed = impl->stunNamed && !reflexive;
    if (impl->status.state == IceState::kGathering && !impl->remoteSet) {
      impl->status.state = IceState::kWaiting;
    }
    impl->gatheredCv.notify_all();
  }

  static void OnState(NiceAgent* agent, guint stream, guint component, guint state, gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    if (impl->holding) return;  // the stand-in's checks are meant to fail
    // The pair as it is now, whether or not its own signal came before this one (outside our
    // lock: this one takes the agent's).
    NiceCandidate *local = nullptr, *remote = nullptr;
    const bool selected =
        (state == NICE_COMPONENT_STATE_CONNECTED || state == NICE_COMPONENT_STATE_READY) &&
        nice_agent_get_selected_pair(agent, stream, component, &local, &remote);
    std::lock_guard lock(impl->mutex);
    switch (state) {
      case NICE_COMPONENT_STATE_CONNECTING:
        impl->status.state = IceState::kChecking;
        break;
      case NICE_COMPONENT_STATE_CONNECTED:
      case NICE_COMPONENT_STATE_READY:
        if (selected && local && remote) impl->Select(local, remote);
        impl->status.state = IceState::kConnected;
        impl->status.reconnecting = false;
        impl->wasConnected = true;
        break;
      case NICE_COMPONENT_STATE_FAILED:
        impl->status.state = IceState::kFailed;
        impl->status.reconnecting = impl->wasConnected;
        impl->status.failedBefore = !impl->wasConnected;
        impl->ScheduleRestart();
        break;
      default:
        break;
    }
  }

  static void OnSelected(NiceAgent*, guint, guint, NiceCandidate* local, NiceCandidate* remote,
                         gpointer self) {
    auto* impl = static_cast<Impl*>(self);
    if (impl->holding) return;
    std::lock_guard lock(impl->mutex);
    impl->Select(local, remote);
  }

  // With the mutex held.
  void Select(const NiceCandidate* local, const NiceCandidate* remote) {
    status.local = FromNice(local->type);
    status.remote = FromNice(remote->type);
    status.relayed = status.local == IceCandidate::Type::kRelayed ||
                     status.remote == IceCandidate::Type::kRelayed;
    status.selected = Describe(local) + " -> " + Describe(remote);
  }

  // Runs `f` on the agent's thread and waits for it, so set-up and tear-down never race the
  // callbacks. The call is handed over through members made before the thread started: GLib's
  // own hand-over is invisible to the thread sanitizer, these are not.
  template <typename F>
  void OnAgentThread(F f) {
    std::lock_guard one(callerMutex);
    std::unique_lock lock(callMutex);
    std::function<void()> run = f;
    pending = &run;
    callDone = false;
    g_main_context_invoke(
        context,
        [](gpointer self) -> gboolean {
          auto* impl = static_cast<Impl*>(self);
          std::lock_guard held(impl->callMutex);
          (*impl->pending)();
          impl->callDone = true;
          impl->callCv.notify_all();
          return G_SOURCE_REMOVE;
        },
        this);
    callCv.wait(lock, [&] { return callDone; });
    pending = nullptr;
  }
  std::mutex callerMutex;  // one call at a time
  std::mutex callMutex;
  std::condition_variable callCv;
  std::function<void()>* pending = nullptr;
  bool callDone = false;

  void Stop();

  // The checks failed, or a working path broke (a router restarted, the Wi-Fi changed): the
  // partner does the same on its side, so checking again from both ends finds the path once it
  // is back. On the agent's thread.
  void ScheduleRestart() {
    if (restartTimer || remote.ufrag.empty()) return;
    restartTimer = g_timeout_source_new(kRestartDelayMs);
    g_source_set_callback(
        restartTimer,
        [](gpointer self) -> gboolean {
          auto* impl = static_cast<Impl*>(self);
          g_source_unref(impl->restartTimer);
          impl->restartTimer = nullptr;
          impl->Restart();
          return G_SOURCE_REMOVE;
        },
        this, nullptr);
    g_source_attach(restartTimer, context);
  }

  // One round of checks to our own server, from every local candidate. On the agent's thread.
  void Hold() {
    if (!agent || !remote.ufrag.empty() || localUfrag.empty()) return;
    if (holding) {
      nice_agent_restart_stream(agent, stream);  // the last round failed; its pairs are spent
      nice_agent_set_local_credentials(agent, stream, localUfrag.c_str(), localPwd.c_str());
    }
    holding = true;
    nice_agent_set_remote_credentials(agent, stream, kHoldUfrag, kHoldPwd);
    NiceCandidate* c = nice_candidate_new(NICE_CANDIDATE_TYPE_HOST);
    c->stream_id = stream;
    c->component_id = kComponent;
    c->transport = NICE_CANDIDATE_TRANSPORT_UDP;
    c->priority = 1;
    std::snprintf(c->foundation, NICE_CANDIDATE_MAX_FOUNDATION, "hold");
    if (nice_address_set_from_string(&c->addr, holdServer.c_str())) {
      nice_address_set_port(&c->addr, holdPort);
      GSList* list = g_slist_append(nullptr, c);
      nice_agent_set_remote_candidates(agent, stream, kComponent, list);
      g_slist_free(list);
    }
    nice_candidate_free(c);
  }

  void StartHolding() {
    if (holdServer.empty() || holdTimer) return;
    holdTimer = g_timeout_source_new(kKeepaliveMs);
    g_source_set_callback(
        holdTimer,
        [](gpointer self) -> gboolean {
          static_cast<Impl*>(self)->Hold();
          return G_SOURCE_CONTINUE;
        },
        this, nullptr);
    g_source_attach(holdTimer, context);
  }

  void StopHolding() {
    if (holdTimer) {
      g_source_destroy(holdTimer);
      g_source_unref(holdTimer);
      holdTimer = nullptr;
    }
    if (holding && agent) {
      // Drops the stand-in with its pairs; the partner's description comes next.
      nice_agent_restart_stream(agent, stream);
      nice_agent_set_local_credentials(agent, stream, localUfrag.c_str(), localPwd.c_str());
    }
    holding = false;
  }

  void Restart() {
    if (!agent) return;
    nice_agent_restart_stream(agent, stream);
    nice_agent_set_local_credentials(agent, stream, localUfrag.c_str(), localPwd.c_str());
    ApplyRemote();
  }

  // Gives the agent the partner's credentials and candidates; how many candidates it took.
  int ApplyRemote() {
    nice_agent_set_remote_credentials(agent, stream, remote.ufrag.c_str(), remote.pwd.c_str());
    GSList* list = nullptr;
    guint foundation = 0;
    for (const IceCandidate& r : remote.candidates) {
      sockaddr_storage a{};
      socklen_t length = 0;
      if (!Usable(r.address) || r.port == 0 ||
          !ToSockaddr(r.address, r.port, r.address.IsV4() ? AF_INET : AF_INET6, a, length)) {
        continue;
      }
      NiceCandidate* c = nice_candidate_new(ToNice(r.type));
      c->stream_id = stream;
      c->component_id = kComponent;
      c->transport = NICE_CANDIDATE_TRANSPORT_UDP;
      c->priority = r.priority;
      std::snprintf(c->foundation, NICE_CANDIDATE_MAX_FOUNDATION, "%u", ++foundation);
      nice_address_set_from_sockaddr(&c->addr, reinterpret_cast<const sockaddr*>(&a));
      list = g_slist_append(list, c);
    }
    const int added = list ? nice_agent_set_remote_candidates(agent, stream, kComponent, list) : 0;
    g_slist_free_full(list, reinterpret_cast<GDestroyNotify>(nice_candidate_free));
    return added;
  }
};

IceAgent::IceAgent(const IceSettings& settings) : impl_(std::make_unique<Impl>()) {
  Impl& s = *impl_;
  std::string stunIp, turnIp;
  bool stunUnresolved = false;
  if (!settings.stun.host.empty()) {
    try {
      stunIp = Resolve(settings.stun.host);
    } catch (const std::runtime_error&) {
      stunUnresolved = true;  // host candidates still work on a local network
    }
  }
  const bool turn = !settings.turn.host.empty() && !settings.turnUser.empty();
  if (turn) turnIp = Resolve(settings.turn.host);
  s.stunNamed = !stunIp.empty() || stunUnresolved;
  s.holdServer = turn ? turnIp : stunIp;
  s.holdPort = turn ? settings.turn.port : settings.stun.port;
  s.eventFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  s.context = g_main_context_new();
  s.loop = g_main_loop_new(s.context, FALSE);
  s.thread = std::thread([loop = s.loop, context = s.context] {
    g_main_context_push_thread_default(context);
    g_main_loop_run(loop);
    g_main_context_pop_thread_default(context);
  });
  bool ok = true;
  s.OnAgentThread([&] {
    s.agent = nice_agent_new_full(s.context, NICE_COMPATIBILITY_RFC5245,
                                  // Aggressive nomination: the first pair that works carries
                                  // the notes at once. RFC 7675: consent checks on it keep it,
                                  // and say when it broke.
                                  NICE_AGENT_OPTION_CONSENT_FRESHNESS);
    g_object_set(s.agent, "controlling-mode", settings.controlling ? TRUE : FALSE, "ice-tcp", FALSE,
                 "upnp", FALSE, nullptr);
    if (!stunIp.empty()) {
      g_object_set(s.agent, "stun-server", stunIp.c_str(), "stun-server-port",
                   guint{settings.stun.port}, nullptr);
    }
    for (const IpAddress& a : settings.localAddresses) {
      sockaddr_storage storage{};
      socklen_t length = 0;
      if (!ToSockaddr(a, 0, a.IsV4() ? AF_INET : AF_INET6, storage, length)) continue;
      NiceAddress address;
      nice_address_init(&address);
      nice_address_set_from_sockaddr(&address, reinterpret_cast<const sockaddr*>(&storage));
      nice_agent_add_local_address(s.agent, &address);
    }
    g_signal_connect(s.agent, "candidate-gathering-done", G_CALLBACK(Impl::OnGathered), &s);
    g_signal_connect(s.agent, "component-state-changed", G_CALLBACK(Impl::OnState), &s);
    g_signal_connect(s.agent, "new-selected-pair-full", G_CALLBACK(Impl::OnSelected), &s);
    s.stream = nice_agent_add_stream(s.agent, 1);
    if (s.stream == 0) {
      ok = false;
      return;
    }
    if (turn) {
      nice_agent_set_relay_info(s.agent, s.stream, kComponent, turnIp.c_str(), settings.turn.port,
                                settings.turnUser.c_str(), settings.turnPassword.c_str(),
                                NICE_RELAY_TYPE_TURN_UDP);
    }
    nice_agent_attach_recv(s.agent, s.stream, kComponent, s.context, Impl::OnReceive, &s);
    ok = nice_agent_gather_candidates(s.agent, s.stream) == TRUE;
  });
  if (!ok) {
    s.Stop();  // the thread and the context must not outlive a failed set-up
    throw std::runtime_error("ICE: the agent could not start gathering");
  }
}

IceAgent::~IceAgent() {
  impl_->Stop();
}

void IceAgent::Impl::Stop() {
  if (!context) return;
  Impl& s = *this;
  s.OnAgentThread([&] {
    s.StopHolding();
    if (s.restartTimer) {
      g_source_destroy(s.restartTimer);
      g_source_unref(s.restartTimer);
      s.restartTimer = nullptr;
    }
    if (s.agent) {
      if (s.stream)
        nice_agent_attach_recv(s.agent, s.stream, kComponent, s.context, nullptr, nullptr);
      g_signal_handlers_disconnect_by_data(s.agent, &s);
      g_object_unref(s.agent);
      s.agent = nullptr;
    }
    g_main_loop_quit(s.loop);
  });
  s.thread.join();
  g_main_loop_unref(s.loop);
  g_main_context_unref(s.context);
  s.context = nullptr;
  if (s.eventFd >= 0) ::close(s.eventFd);
  s.eventFd = -1;
}

IceDescription IceAgent::Local(std::chrono::milliseconds timeout) {
  Impl& s = *impl_;
  {
    std::unique_lock lock(s.mutex);
    s.gatheredCv.wait_for(lock, timeout, [&] { return s.gathered; });
  }
  IceDescription d;
  gchar* ufrag = nullptr;
  gchar* pwd = nullptr;
  if (nice_agent_get_local_credentials(s.agent, s.stream, &ufrag, &pwd)) {
    d.ufrag = ufrag;
    d.pwd = pwd;
  }
  s.OnAgentThread([&] {
    s.localUfrag = d.ufrag;
    s.localPwd = d.pwd;
    s.StartHolding();
  });
  g_free(ufrag);
  g_free(pwd);
  GSList* list = nice_agent_get_local_candidates(s.agent, s.stream, kComponent);
  for (GSList* i = list; i; i = i->next) {
    auto* c = static_cast<NiceCandidate*>(i->data);
    sockaddr_storage a{};
    nice_address_copy_to_sockaddr(&c->addr, reinterpret_cast<sockaddr*>(&a));
    IceCandidate ours{FromNice(c->type), FromSockaddr(a).Unmapped(),
                      static_cast<uint16_t>(nice_address_get_port(&c->addr)), c->priority};
    if (c->transport == NICE_CANDIDATE_TRANSPORT_UDP && Usable(ours.address)) {
      d.candidates.push_back(ours);
    }
    nice_candidate_free(c);
  }
  g_slist_free(list);
  // The best first, so a code cut to its room keeps the ones most likely to work.
  std::stable_sort(d.candidates.begin(), d.candidates.end(),
                   [](const auto& a, const auto& b) { return a.priority > b.priority; });
  if (d.candidates.size() > kMaxCandidates) d.candidates.resize(kMaxCandidates);
  return d;
}

bool IceAgent::SetRemote(const IceDescription& remote) {
  Impl& s = *impl_;
  if (remote.ufrag.empty() || remote.pwd.empty()) return false;
  int added = 0;
  s.OnAgentThread([&] {
    s.StopHolding();
    s.remote = remote;
    added = s.ApplyRemote();
  });
  std::lock_guard lock(s.mutex);
  s.remoteSet = added > 0;
  for (const IceCandidate& r : remote.candidates) {
    if (Usable(r.address)) {
      s.peer = r.address;
      break;
    }
  }
  if (added > 0 && s.status.state != IceState::kConnected) s.status.state = IceState::kChecking;
  return added > 0;
}

int IceAgent::Send(std::span<const uint8_t> bytes) {
  const gint n =
      nice_agent_send(impl_->agent, impl_->stream, kComponent, static_cast<guint>(bytes.size()),
                      reinterpret_cast<const gchar*>(bytes.data()));
  if (n < 0) return Status().state == IceState::kConnected ? -EAGAIN : -ENOTCONN;
  return static_cast<size_t>(n) == bytes.size() ? 0 : -EMSGSIZE;
}

int64_t IceAgent::Receive(std::span<uint8_t> buffer) {
  Impl& s = *impl_;
  std::lock_guard lock(s.mutex);
  if (s.queue.empty()) {
    uint64_t drained = 0;
    if (s.eventFd >= 0) [[maybe_unused]]
      ssize_t n = ::read(s.eventFd, &drained, sizeof drained);
    return -EAGAIN;
  }
  const std::vector<uint8_t> d = std::move(s.queue.front());
  s.queue.pop_front();
  std::memcpy(buffer.data(), d.data(), std::min(buffer.size(), d.size()));
  return static_cast<int64_t>(d.size());
}

int IceAgent::Fd() const {
  return impl_->eventFd;
}

IpAddress IceAgent::Peer() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->peer;
}

uint64_t IceAgent::Overflowed() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->overflowed;
}

IceStatus IceAgent::Status() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->status;
}

}  // namespace tandem
