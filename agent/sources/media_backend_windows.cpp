// Media sessions of Windows (the system media transport controls), called through the Windows
// Runtime ABI on a multi-threaded apartment. Every asynchronous operation is awaited on the
// calling thread (the watcher's, or one of its workers') by polling its IAsyncInfo, so no
// callback ever runs on a pool thread.
// Every raw call into the runtime runs inside the fault guard (fault_guard_windows.h); the
// objects that own references and strings live outside it.
#include <windows.h>
// After windows.h, which they need.
#include <roapi.h>
#include <winstring.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "agent/model.h"
#include "agent/platform/utf16_windows.h"
#include "agent/sources/fault_guard_windows.h"
#include "agent/sources/media_backend.h"
#include "agent/sources/winrt_smtc.h"
#include "agent/sources/winrt_time.h"

namespace tunelight {

namespace {

using namespace winrt;

// How long one asynchronous operation may take before it is cancelled.
constexpr ULONGLONG kAsyncDeadlineMs = 5000;
// Longest pause between two looks at an operation's status, the stop flag and the deadline.
constexpr DWORD kAsyncMaxPauseMs = 10;
// How long a cancelled operation may take to leave the Started state; Close before that is
// illegal, so one that takes longer is leaked instead of closed.
constexpr ULONGLONG kCancelWaitMs = 500;

// A fault caught while releasing a reference or a string, which cannot raise: guard() reports
// it at the end of the cycle.
thread_local uint32_t tReleaseFault = 0;

// The first fault caught in the runtime's code, on any thread. The runtime may still hold the
// locks it took before it faulted: from then on nothing calls into it, not even Release (every
// object is leaked), and each guarded call raises this fault again at once.
std::atomic<uint32_t> gRuntimeFault{0};

void noteRuntimeFault(uint32_t code) {
  uint32_t none = 0;
  gRuntimeFault.compare_exchange_strong(none, code);
}

void raiseFault(uint32_t code) {
  if (code != 0) {
    noteRuntimeFault(code);
    throw MediaFault(code);
  }
}

// One raw call that returns an HRESULT, inside the fault guard. f may only write into plain
// locals of its caller. A caught fault raises MediaFault.
template <typename F>
HRESULT guarded(const F& f) {
  raiseFault(gRuntimeFault.load());
  HRESULT result = E_UNEXPECTED;
  auto call = [&result, &f] { result = f(); };
  raiseFault(guardedCall(call));
  return result;
}

// The same for calls that cannot raise (releases, clean-up): a fault is noted for guard().
template <typename F>
void guardedQuietly(F f) {
  if (gRuntimeFault.load() != 0) return;
  if (uint32_t code = guardedCall(f)) {
    noteRuntimeFault(code);
    tReleaseFault = code;
  }
}

void releaseGuarded(IUnknown* p) {
  auto call = [p] { p->Release(); };
  guardedQuietly(call);
}

// Owning pointer to a COM interface.
template <typename T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* p) : p_(p) {}
  explicit Ref(void* p) : p_(static_cast<T*>(p)) {}
  ~Ref() { reset(); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;

  T* get() const { return p_; }
  // Gives the reference up without releasing it.
  void leak() { p_ = nullptr; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  void reset() {
    if (T* p = std::exchange(p_, nullptr)) releaseGuarded(p);
  }

 private:
  T* p_ = nullptr;
};

// The system's text for an HRESULT, without the trailing line break.
std::string systemMessage(HRESULT hr) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = n > 0 ? toUtf8(text, n) : std::string();
  if (text) LocalFree(text);
  while (!out.empty() && (out.back() == '\r' || out.back() == '\n' || out.back() == ' ')) {
    out.pop_back();
  }
  if (out.empty()) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "error 0x%08lX", static_cast<unsigned long>(hr));
    out = buf;
  }
  return out;
}

[[noreturn]] void raise(HRESULT hr) {
  throw MediaError(static_cast<uint32_t>(hr), systemMessage(hr));
}

void check(HRESULT hr) {
  if (FAILED(hr)) raise(hr);
}

// A returned HSTRING, freed here. A null HSTRING is the empty string.
class HString {
 public:
  HString() = default;
  ~HString() {
    if (HSTRING h = std::exchange(h_, nullptr)) {
      auto call = [h] { WindowsDeleteString(h); };
      guardedQuietly(call);
    }
  }
  HString(const HString&) = delete;
  HString& operator=(const HString&) = delete;

  // Takes a string that a guarded call wrote into a plain local.
  void adopt(HSTRING h) {
    HString old;
    old.h_ = std::exchange(h_, h);
  }

  std::string utf8() const {
    const HSTRING h = h_;
    UINT32 n = 0;
    const wchar_t* s = nullptr;
    guarded([&] {
      s = WindowsGetStringRawBuffer(h, &n);
      return S_OK;
    });
    return toUtf8(s, n);
  }

 private:
  HSTRING h_ = nullptr;
};

// A string property: getter(&value) inside the guard, ownership and conversion outside.
template <typename I>
std::string readString(I* object, HRESULT (STDMETHODCALLTYPE I::*getter)(HSTRING*)) {
  HSTRING value = nullptr;
  HRESULT hr = guarded([&] { return (object->*getter)(&value); });
  HString owned;
  owned.adopt(value);
  check(hr);
  return owned.utf8();
}

// An interface-valued result: call(&out) inside the guard; the reference is owned outside.
template <typename T, typename F>
Ref<T> readRef(const F& call) {
  void* out = nullptr;
  HRESULT hr = guarded([&] { return call(&out); });
  Ref<T> owned(out);
  check(hr);
  return owned;
}

template <typename T>
Ref<T> query(IUnknown* object, const IID& iid) {
  return readRef<T>([&](void** out) { return object->QueryInterface(iid, out); });
}

template <typename T>
Ref<T> activationFactory(const wchar_t* className, const IID& iid) {
  HSTRING_HEADER header;
  HSTRING name = nullptr;
  check(WindowsCreateStringReference(className, static_cast<UINT32>(wcslen(className)), &header,
                                     &name));
  return readRef<T>([&](void** out) { return RoGetActivationFactory(name, iid, out); });
}

// An asynchronous operation in progress, polled through its IAsyncInfo on the calling thread.
// The platform's order is kept: GetResults only after completion, Close last and never while
// the operation still runs (a cancelled one may complete its cancel later). An operation that
// is dropped unfinished is cancelled, and closed once the cancel has completed; should that take
// longer than kCancelWaitMs, it is leaked rather than closed early.
template <typename Op>
class PendingOp {
 public:
  explicit PendingOp(Ref<Op> op) : op_(std::move(op)) {
    info_ = query<IAsyncInfo>(op_.get(), kIID_IAsyncInfo);
    if (!info_) raise(E_NOINTERFACE);
  }
  ~PendingOp() { abandon(); }
  PendingOp(const PendingOp&) = delete;
  PendingOp& operator=(const PendingOp&) = delete;

  // Polls until the operation has finished (true) or until deadlineTick (a GetTickCount64 time)
  // or a stop request (false).
  bool wait(ULONGLONG deadlineTick, const MediaBackend& backend) {
    IAsyncInfo* const async = info_.get();
    for (DWORD pause = 0;; pause = std::min(pause + 1, kAsyncMaxPauseMs)) {
      check(guarded([&] { return async->get_Status(&status_); }));
      if (status_ != kAsyncStarted) return true;
      if (backend.stopRequested() || GetTickCount64() >= deadlineTick) return false;
      const ULONGLONG now = GetTickCount64();
      Sleep(static_cast<DWORD>(
          std::min<ULONGLONG>(pause, deadlineTick > now ? deadlineTick - now : 0)));
    }
  }

  // The result of a finished operation (may be null), which is then closed. Raises its error.
  template <typename T>
  Ref<T> results() {
    void* out = nullptr;
    const HRESULT hr = finish(&out);
    Ref<T> owned(out);
    check(hr);
    return owned;
  }

  // The same for a value result (IAsyncOperation<Boolean>).
  template <typename V>
  V value() {
    V out{};
    check(finish(&out));
    return out;
  }

  // Cancels an operation that still runs and closes it once the cancel has completed.
  void abandon(ULONGLONG cancelWaitMs = kCancelWaitMs) {
    if (closed_ || !info_) return;
    closed_ = true;
    IAsyncInfo* const async = info_.get();
    int32_t status = kAsyncStarted;
    HRESULT hr = S_OK;
    auto look = [&] { hr = async->get_Status(&status); };
    guardedQuietly(look);
    if (SUCCEEDED(hr) && status == kAsyncStarted) {
      auto cancel = [&] { async->Cancel(); };
      guardedQuietly(cancel);
      const ULONGLONG until = GetTickCount64() + cancelWaitMs;
      for (DWORD pause = 0; gRuntimeFault.load() == 0;
           pause = std::min(pause + 1, kAsyncMaxPauseMs)) {
        guardedQuietly(look);
        if (FAILED(hr) || status != kAsyncStarted || GetTickCount64() >= until) break;
        Sleep(pause);
      }
    }
    if (SUCCEEDED(hr) && status == kAsyncStarted) {
      // Still running: Close would break the platform's rules, a leak breaks none.
      info_.leak();
      op_.leak();
      return;
    }
    auto close = [&] { async->Close(); };
    guardedQuietly(close);
  }

 private:
  // Writes the result of a finished operation into out, closes the operation and returns the
  // operation's error (E_ABORT when it was cancelled by someone else).
  template <typename Out>
  HRESULT finish(Out* out) {
    Op* const op = op_.get();
    IAsyncInfo* const async = info_.get();
    HRESULT result = E_ABORT;
    if (status_ == kAsyncCompleted) {
      result = guarded([&] { return op->GetResults(out); });
    } else if (status_ == kAsyncError) {
      HRESULT code = S_OK;
      guarded([&] { return async->get_ErrorCode(&code); });
      result = FAILED(code) ? code : E_FAIL;
    }
    closed_ = true;
    guarded([&] { return async->Close(); });
    return result;
  }

  Ref<Op> op_;
  Ref<IAsyncInfo> info_;
  int32_t status_ = kAsyncStarted;
  bool closed_ = false;
};

ULONGLONG tickIn(std::chrono::steady_clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return GetTickCount64() + static_cast<ULONGLONG>(std::max<int64_t>(0, left.count()));
}

// Waits until an asynchronous operation has finished and takes its result. When it does not
// finish within kAsyncDeadlineMs, or the watcher stops, it is given up. Raises the operation's
// error, E_ABORT (cancelled, stopped) or ERROR_TIMEOUT. The result may be null.
template <typename T, typename Op>
Ref<T> awaitResult(Ref<Op> op, const MediaBackend& backend) {
  PendingOp<Op> pending(std::move(op));
  if (!pending.wait(GetTickCount64() + kAsyncDeadlineMs, backend)) {
    const HRESULT giveUp = backend.stopRequested() ? E_ABORT : HRESULT_FROM_WIN32(ERROR_TIMEOUT);
    pending.abandon();
    raise(giveUp);
  }
  return pending.template results<T>();
}

class WinThumbnailStream : public MediaThumbnailStream {
 public:
  WinThumbnailStream(Ref<IInspectable> stream, const MediaBackend& backend)
      : stream_(std::move(stream)), backend_(backend) {}

  uint64_t size() override {
    Ref<IRandomAccessStream> ras =
        query<IRandomAccessStream>(stream_.get(), kIID_IRandomAccessStream);
    IRandomAccessStream* const r = ras.get();
    UINT64 size = 0;
    check(guarded([&] { return r->get_Size(&size); }));
    return size;
  }

  std::string contentType() override {
    Ref<IContentTypeProvider> provider =
        query<IContentTypeProvider>(stream_.get(), kIID_IContentTypeProvider);
    return readString(provider.get(), &IContentTypeProvider::get_ContentType);
  }

  std::string read(uint32_t count) override {
    if (!bufferFactory_) {
      bufferFactory_ = activationFactory<IBufferFactory>(kBufferClass, kIID_IBufferFactory);
    }
    IBufferFactory* const factory = bufferFactory_.get();
    Ref<IBuffer> buffer = readRef<IBuffer>(
        [&](void** out) { return factory->Create(count, reinterpret_cast<IBuffer**>(out)); });
    IBuffer* const target = buffer.get();
    Ref<IInputStream> input = query<IInputStream>(stream_.get(), kIID_IInputStream);
    IInputStream* const in = input.get();
    Ref<IAsyncOperationWithProgressOfPointer> op =
        readRef<IAsyncOperationWithProgressOfPointer>([&](void** out) {
          return in->ReadAsync(target, count, 0,
                               reinterpret_cast<IAsyncOperationWithProgressOfPointer**>(out));
        });
    // The filled buffer may be another object than the one passed in.
    Ref<IBuffer> filled = awaitResult<IBuffer>(std::move(op), backend_);
    if (!filled) return {};
    IBuffer* const f = filled.get();
    UINT32 length = 0;
    UINT32 capacity = 0;
    check(guarded([&] { return f->get_Length(&length); }));
    check(guarded([&] { return f->get_Capacity(&capacity); }));
    length = std::min(length, capacity);
    if (length == 0) return {};
    Ref<IBufferByteAccess> access = query<IBufferByteAccess>(f, kIID_IBufferByteAccess);
    IBufferByteAccess* const a = access.get();
    BYTE* bytes = nullptr;
    check(guarded([&] { return a->Buffer(&bytes); }));
    if (!bytes) return {};
    std::string out(length, '\0');
    char* const dest = &out[0];
    guarded([&] {
      std::memcpy(dest, bytes, length);
      return S_OK;
    });
    return out;
  }

 private:
  Ref<IInspectable> stream_;  // IRandomAccessStreamWithContentType
  const MediaBackend& backend_;
  Ref<IBufferFactory> bufferFactory_;
};

class WinThumbnail : public MediaThumbnail {
 public:
  WinThumbnail(Ref<IRandomAccessStreamReference> ref, const MediaBackend& backend)
      : ref_(std::move(ref)), backend_(backend) {}

  std::unique_ptr<MediaThumbnailStream> open() override {
    IRandomAccessStreamReference* const r = ref_.get();
    Ref<IAsyncOperationOfPointer> op = readRef<IAsyncOperationOfPointer>([&](void** out) {
      return r->OpenReadAsync(reinterpret_cast<IAsyncOperationOfPointer**>(out));
    });
    Ref<IInspectable> stream = awaitResult<IInspectable>(std::move(op), backend_);
    if (!stream) return nullptr;
    return std::make_unique<WinThumbnailStream>(std::move(stream), backend_);
  }

 private:
  Ref<IRandomAccessStreamReference> ref_;
  const MediaBackend& backend_;
};

// A player action waits for the app this long at most; a cancel then gets kActionCancelWaitMs,
// so that the request that asked for it is answered within a second.
constexpr auto kActionWait = std::chrono::milliseconds(700);
constexpr ULONGLONG kActionCancelWaitMs = 200;

using TryAction = HRESULT (STDMETHODCALLTYPE ISession::*)(IAsyncOperationOfBoolean**);

TryAction tryActionOf(uint32_t action) {
  switch (action) {
    case kControlPlayPause:
      return &ISession::TryTogglePlayPauseAsync;
    case kControlPlay:
      return &ISession::TryPlayAsync;
    case kControlPause:
      return &ISession::TryPauseAsync;
    case kControlNext:
      return &ISession::TrySkipNextAsync;
    case kControlPrevious:
      return &ISession::TrySkipPreviousAsync;
    default:
      return nullptr;
  }
}

// The session's reference, shared by the session of one cycle and the watcher's control worker
// (sessions from the manager are agile: any thread of the apartment may call them).
class WinSessionControl : public MediaSessionControl {
 public:
  WinSessionControl(Ref<ISession> session, const MediaBackend& backend)
      : session_(std::move(session)), backend_(backend) {}

  ISession* session() const { return session_.get(); }

  std::string send(uint32_t action, std::chrono::steady_clock::time_point deadline) override {
    const TryAction method = tryActionOf(action);
    if (!method) return "not a player action";
    ISession* const s = session_.get();
    Ref<IAsyncOperationOfBoolean> op = readRef<IAsyncOperationOfBoolean>([&](void** out) {
      return (s->*method)(reinterpret_cast<IAsyncOperationOfBoolean**>(out));
    });
    if (!op) raise(E_POINTER);
    PendingOp<IAsyncOperationOfBoolean> pending(std::move(op));
    if (!pending.wait(tickIn(std::min(deadline, std::chrono::steady_clock::now() + kActionWait)),
                      backend_)) {
      pending.abandon(kActionCancelWaitMs);
      return "the player did not answer in time";
    }
    // The app's own answer: false when it does not take the action now.
    return pending.value<unsigned char>() ? std::string() : "the player refused";
  }

 private:
  Ref<ISession> session_;
  const MediaBackend& backend_;
};

class WinSession : public MediaSession {
 public:
  WinSession(Ref<ISession> session, const MediaBackend& backend)
      : handle_(std::make_shared<WinSessionControl>(std::move(session), backend)),
        backend_(backend) {}

  std::string appId() override {
    if (!haveAppId_) {
      appId_ = readString(handle_->session(), &ISession::get_SourceAppUserModelId);
      haveAppId_ = true;
    }
    return appId_;
  }

  AppIdentity identify() override { return identifyApp(appId()); }

  MediaProperties properties() override {
    beginProperties();
    std::optional<MediaProperties> out = tryProperties(std::chrono::steady_clock::now() +
                                                       std::chrono::milliseconds(kAsyncDeadlineMs));
    if (!out) {
      const HRESULT giveUp = backend_.stopRequested() ? E_ABORT : HRESULT_FROM_WIN32(ERROR_TIMEOUT);
      pending_.reset();
      raise(giveUp);
    }
    return std::move(*out);
  }

  void beginProperties() override {
    if (pending_) return;
    ISession* const s = handle_->session();
    Ref<IAsyncOperationOfPointer> op = readRef<IAsyncOperationOfPointer>([&](void** out) {
      return s->TryGetMediaPropertiesAsync(reinterpret_cast<IAsyncOperationOfPointer**>(out));
    });
    pending_ = std::make_unique<PendingOp<IAsyncOperationOfPointer>>(std::move(op));
  }

  std::optional<MediaProperties> tryProperties(
      std::chrono::steady_clock::time_point deadline) override {
    beginProperties();
    if (!pending_->wait(tickIn(deadline), backend_)) {
      if (backend_.stopRequested()) {
        pending_.reset();
        raise(E_ABORT);
      }
      return std::nullopt;
    }
    std::unique_ptr<PendingOp<IAsyncOperationOfPointer>> done = std::move(pending_);
    Ref<ISessionMediaProperties> props = done->results<ISessionMediaProperties>();
    MediaProperties out;
    if (!props) return out;  // the app offers nothing now
    ISessionMediaProperties* const p = props.get();
    out.title = readString(p, &ISessionMediaProperties::get_Title);
    out.artist = readString(p, &ISessionMediaProperties::get_Artist);
    out.album = readString(p, &ISessionMediaProperties::get_AlbumTitle);
    Ref<IRandomAccessStreamReference> thumbnail =
        readRef<IRandomAccessStreamReference>([&](void** out) {
          return p->get_Thumbnail(reinterpret_cast<IRandomAccessStreamReference**>(out));
        });
    if (thumbnail) out.thumbnail = std::make_shared<WinThumbnail>(std::move(thumbnail), backend_);
    return out;
  }

  PlaybackStatus playbackStatus() override {
    ISession* const s = handle_->session();
    Ref<ISessionPlaybackInfo> info = readRef<ISessionPlaybackInfo>([&](void** out) {
      return s->GetPlaybackInfo(reinterpret_cast<ISessionPlaybackInfo**>(out));
    });
    int32_t status = kSessionClosed;
    if (ISessionPlaybackInfo* const i = info.get()) {
      check(guarded([&] { return i->get_PlaybackStatus(&status); }));
    }
    if (status == kSessionPlaying) return kStatusPlaying;
    if (status == kSessionPaused) return kStatusPaused;
    return kStatusStopped;
  }

  uint32_t controls() override {
    ISession* const s = handle_->session();
    uint32_t out = 0;
    try {
      Ref<ISessionPlaybackInfo> info = readRef<ISessionPlaybackInfo>([&](void** o) {
        return s->GetPlaybackInfo(reinterpret_cast<ISessionPlaybackInfo**>(o));
      });
      ISessionPlaybackInfo* const i = info.get();
      if (!i) return 0;
      Ref<ISessionPlaybackControls> controls = readRef<ISessionPlaybackControls>([&](void** o) {
        return i->get_Controls(reinterpret_cast<ISessionPlaybackControls**>(o));
      });
      ISessionPlaybackControls* const c = controls.get();
      if (!c) return 0;
      using Getter = HRESULT (STDMETHODCALLTYPE ISessionPlaybackControls::*)(unsigned char*);
      const std::pair<Getter, uint32_t> flags[] = {
          {&ISessionPlaybackControls::get_IsPlayPauseToggleEnabled, kControlPlayPause},
          {&ISessionPlaybackControls::get_IsPlayEnabled, kControlPlay},
          {&ISessionPlaybackControls::get_IsPauseEnabled, kControlPause},
          {&ISessionPlaybackControls::get_IsNextEnabled, kControlNext},
          {&ISessionPlaybackControls::get_IsPreviousEnabled, kControlPrevious}};
      for (const auto& [getter, bit] : flags) {
        unsigned char enabled = 0;
        check(guarded([&, g = getter] { return (c->*g)(&enabled); }));
        if (enabled) out |= bit;
      }
    } catch (const MediaError&) {
      // An app that tells nothing about its actions is still shown; it offers none.
      return 0;
    }
    return out;
  }

  std::shared_ptr<MediaSessionControl> control() override { return handle_; }

  MediaTimeline timeline() override {
    ISession* const s = handle_->session();
    Ref<ISessionTimelineProperties> timeline = readRef<ISessionTimelineProperties>([&](void** out) {
      return s->GetTimelineProperties(reinterpret_cast<ISessionTimelineProperties**>(out));
    });
    MediaTimeline out;
    ISessionTimelineProperties* const t = timeline.get();
    if (!t) return out;
    TimeSpan start{}, end{}, position{};
    DateTime updated{};
    check(guarded([&] { return t->get_StartTime(&start); }));
    check(guarded([&] { return t->get_EndTime(&end); }));
    check(guarded([&] { return t->get_Position(&position); }));
    check(guarded([&] { return t->get_LastUpdatedTime(&updated); }));
    return timelineFromTicks(start.Duration, end.Duration, position.Duration,
                             updated.UniversalTime);
  }

 private:
  std::shared_ptr<WinSessionControl> handle_;  // owns the session's reference
  const MediaBackend& backend_;
  // A properties read in progress; dropping it cancels it.
  std::unique_ptr<PendingOp<IAsyncOperationOfPointer>> pending_;
  bool haveAppId_ = false;
  std::string appId_;
};

class WinManager : public MediaManager {
 public:
  WinManager(Ref<ISessionManager> manager, const MediaBackend& backend)
      : manager_(std::move(manager)), backend_(backend) {}

  std::vector<std::unique_ptr<MediaSession>> sessions() override {
    ISessionManager* const m = manager_.get();
    Ref<IVectorViewOfPointer> list = readRef<IVectorViewOfPointer>(
        [&](void** out) { return m->GetSessions(reinterpret_cast<IVectorViewOfPointer**>(out)); });
    std::vector<std::unique_ptr<MediaSession>> out;
    IVectorViewOfPointer* const l = list.get();
    if (!l) return out;
    UINT32 size = 0;
    check(guarded([&] { return l->get_Size(&size); }));
    for (UINT32 i = 0; i < size; ++i) {
      Ref<ISession> session = readRef<ISession>([&](void** item) { return l->GetAt(i, item); });
      if (session) out.push_back(std::make_unique<WinSession>(std::move(session), backend_));
    }
    return out;
  }

 private:
  Ref<ISessionManager> manager_;
  const MediaBackend& backend_;
};

class WindowsBackend : public MediaBackend {
 public:
  void threadBegin() override { join(initialized_); }
  void threadEnd() override { leave(initialized_); }
  void workerBegin() override { join(tWorkerInitialized); }
  void workerEnd() override { leave(tWorkerInitialized); }

  std::unique_ptr<MediaManager> requestManager() override {
    Ref<ISessionManagerStatics> statics = activationFactory<ISessionManagerStatics>(
        kSessionManagerClass, kIID_ISessionManagerStatics);
    ISessionManagerStatics* const st = statics.get();
    Ref<IAsyncOperationOfPointer> op = readRef<IAsyncOperationOfPointer>([&](void** out) {
      return st->RequestAsync(reinterpret_cast<IAsyncOperationOfPointer**>(out));
    });
    Ref<ISessionManager> manager = awaitResult<ISessionManager>(std::move(op), *this);
    if (!manager) raise(E_POINTER);
    return std::make_unique<WinManager>(std::move(manager), *this);
  }

  // Faults are caught inside each raw call (they arrive here as MediaFault); a fault while
  // releasing something cannot raise and is reported when the cycle ends.
  uint32_t guard(const std::function<void()>& body) override {
    tReleaseFault = 0;
    uint32_t fault = MediaBackend::guard(body);
    uint32_t released = std::exchange(tReleaseFault, 0u);
    return fault != 0 ? fault : released;
  }

 private:
  // Each thread that calls into the runtime joins the multi-threaded apartment.
  static void join(bool& initialized) {
    HRESULT hr = RoInitialize(RO_INIT_MULTITHREADED);
    if (FAILED(hr)) raise(hr);
    initialized = true;
  }
  static void leave(bool& initialized) {
    if (initialized && gRuntimeFault.load() == 0) RoUninitialize();
    initialized = false;
  }

  bool initialized_ = false;  // watcher thread only
  // Each worker thread's own (the thumbnail and the control worker).
  static thread_local bool tWorkerInitialized;
};

thread_local bool WindowsBackend::tWorkerInitialized = false;

}  // namespace

std::unique_ptr<MediaBackend> makePlatformMediaBackend() {
  return std::make_unique<WindowsBackend>();
}

}  // namespace tunelight
