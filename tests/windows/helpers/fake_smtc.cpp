// A stand-in for the system's media-session classes, loaded by the Windows Runtime when the test
// registers this DLL for "Windows.Media.Control.GlobalSystemMediaTransportControlsSessionManager"
// and "Windows.Storage.Streams.Buffer" in the Wine prefix. It reads the file "fake-smtc.txt"
// beside the DLL whenever it creates something, one instruction per line:
//   aumid|title|artist|album|status|start|end|position|lastUpdated|thumbnail file|content type
//       |flags
//       a session (times in 100 ns ticks, status as the platform's number); flags, separated by
//       commas, make this one session misbehave:
//         fail=HEX          its property, timeline and playback-info calls return that HRESULT
//         gone              every call returns RPC_E_DISCONNECTED (closed after being listed)
//         properties=MODE   how its properties operation ends (MODE as for "async", or "null":
//                           completed with no properties object)
//         open=MODE         how its thumbnail's open operation ends
//         block             its timeline call never returns
//         controls=LIST     the actions its app takes, joined by "+" (toggle, play, pause, next,
//                           previous; empty for none); every one when the flag is missing
//         refuse            its app answers false to every action
//   fault                 GetSessions writes through a null pointer
//   fail HEX              GetSessions returns that HRESULT
//   async KIND MODE       how the asynchronous operations of KIND (manager, properties, open,
//                         read, control) end: "delay MS" (completed from another thread after MS
//                         ms; the default is 2), "hang" (never), "error HEX" (with that error)
//   cancel delay MS       Cancel completes MS ms later, from another thread (until then the
//                         operation is still Started and Close is illegal); default at once
// Its asynchronous operations keep the contract of the platform's own: Started, then Completed,
// Error or Canceled, then Closed; GetResults only after completion, nothing after Close, the
// completion handler called exactly once. Every call that breaks the contract, and every
// operation released without Close, is appended to "fake-smtc.log" beside the DLL; so is, when
// the DLL is unloaded, the number of its objects still referenced ("leaked N"). Each request for
// the manager is noted in "fake-smtc-requests.log", and each action asked of a session
// ("TrySkipNextAsync aumid|title") in "fake-smtc-actions.log". An action the session's controls
// do not list is answered false, as one its app refuses.
// The interface ids come from the stand-in's own table (stand_in_iids.h), never the backend's.
#include <activation.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#define TUNELIGHT_WINRT_NO_IIDS
#include "agent/platform/utf16_windows.h"
#include "agent/sources/winrt_smtc.h"
#include "tests/windows/helpers/stand_in_iids.h"

using namespace tunelight::winrt;
using tunelight::test::standInIid;

// AsyncOperationCompletedHandler<T> and AsyncOperationWithProgressCompletedHandler<T, P>, which
// the caller implements. Outside the anonymous namespace: GCC would otherwise take the lack of an
// implementation in this file for proof that Invoke is never called.
struct ICompletedHandler : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Invoke(void* operation, int32_t status) = 0;
};

namespace {

constexpr HRESULT kIllegalStateChange = static_cast<HRESULT>(0x8000000D);
constexpr HRESULT kIllegalMethodCall = static_cast<HRESULT>(0x8000000E);
constexpr HRESULT kIllegalDelegateAssignment = static_cast<HRESULT>(0x80000018);
constexpr HRESULT kDisconnected = static_cast<HRESULT>(0x80010108);

HMODULE gModule = nullptr;

const IID kIInspectable = standInIid("IInspectable");
const IID kIActivationFactory = standInIid("IActivationFactory");
const IID kIAgileObject = standInIid("IAgileObject");
const IID kIAsyncInfo = standInIid("IAsyncInfo");
const IID kISessionManagerStatics = standInIid("ISessionManagerStatics");
const IID kISessionManager = standInIid("ISessionManager");
const IID kISession = standInIid("ISession");
const IID kISessionMediaProperties = standInIid("ISessionMediaProperties");
const IID kISessionTimelineProperties = standInIid("ISessionTimelineProperties");
const IID kISessionPlaybackInfo = standInIid("ISessionPlaybackInfo");
const IID kISessionPlaybackControls = standInIid("ISessionPlaybackControls");
const IID kIAsyncOperationBoolean = standInIid("IAsyncOperation_Boolean");
const IID kIRandomAccessStreamReference = standInIid("IRandomAccessStreamReference");
const IID kIRandomAccessStreamWithContentType = standInIid("IRandomAccessStreamWithContentType");
const IID kIRandomAccessStream = standInIid("IRandomAccessStream");
const IID kIContentTypeProvider = standInIid("IContentTypeProvider");
const IID kIInputStream = standInIid("IInputStream");
const IID kIBuffer = standInIid("IBuffer");
const IID kIBufferFactory = standInIid("IBufferFactory");
const IID kIBufferByteAccess = standInIid("IBufferByteAccess");
const IID kIAsyncOperationSessionManager = standInIid("IAsyncOperation_SessionManager");
const IID kIAsyncOperationMediaProperties = standInIid("IAsyncOperation_SessionMediaProperties");
const IID kIVectorViewSession = standInIid("IVectorView_Session");
const IID kIAsyncOperationStream = standInIid("IAsyncOperation_StreamWithContentType");
const IID kIAsyncOperationRead = standInIid("IAsyncOperationWithProgress_BufferUInt32");

bool same(REFIID a, const IID& b) {
  return std::memcmp(&a, &b, sizeof(IID)) == 0;
}

std::string besideDll(const char* name) {
  char path[MAX_PATH];
  GetModuleFileNameA(gModule, path, MAX_PATH);
  std::string p = path;
  return p.substr(0, p.find_last_of("\\/") + 1) + name;
}

std::mutex gLogMu;

// Objects of the stand-in that are alive; the factories are left out, as the runtime may keep
// them until the process ends.
std::atomic<long> gLive{0};
// Completing threads that still hold their operation (one reference each).
std::atomic<long> gCompleting{0};

struct Counted {
  Counted() { ++gLive; }
  ~Counted() { --gLive; }
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;
};

void logLine(const std::string& line, const char* file = "fake-smtc.log") {
  std::lock_guard<std::mutex> lock(gLogMu);
  std::ofstream(besideDll(file), std::ios::app) << line << "\n";
}

HSTRING makeString(const std::string& utf8) {
  const std::wstring w = tunelight::toUtf16(utf8);
  HSTRING h = nullptr;
  WindowsCreateString(w.c_str(), static_cast<UINT32>(w.size()), &h);
  return h;
}

struct SessionData {
  std::string fields[12];

  // The value of "name=value" among the flags, or "" (also for a flag without a value).
  std::string flag(const std::string& name) const {
    std::istringstream in(fields[11]);
    for (std::string f; std::getline(in, f, ',');) {
      if (f == name) return "";
      if (f.rfind(name + "=", 0) == 0) return f.substr(name.size() + 1);
    }
    return "";
  }
  bool has(const std::string& name) const {
    std::istringstream in(fields[11]);
    for (std::string f; std::getline(in, f, ',');) {
      if (f == name || f.rfind(name + "=", 0) == 0) return true;
    }
    return false;
  }
  // What its calls return instead of doing their work: S_OK when they work.
  HRESULT failure() const {
    if (has("gone")) return kDisconnected;
    if (has("fail")) return static_cast<HRESULT>(std::strtoul(flag("fail").c_str(), nullptr, 16));
    return S_OK;
  }
};

// What fake-smtc.txt says at the moment it is read.
struct Control {
  std::vector<SessionData> sessions;
  bool fault = false;
  HRESULT fail = S_OK;
  std::map<std::string, std::string> async;  // kind -> mode
  DWORD cancelDelayMs = 0;
};

Control readControl() {
  Control c;
  std::ifstream in(besideDll("fake-smtc.txt"));
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == "fault") {
      c.fault = true;
    } else if (line.rfind("fail ", 0) == 0) {
      c.fail = static_cast<HRESULT>(std::strtoul(line.c_str() + 5, nullptr, 16));
    } else if (line.rfind("cancel delay ", 0) == 0) {
      c.cancelDelayMs = std::strtoul(line.c_str() + 13, nullptr, 10);
    } else if (line.rfind("async ", 0) == 0) {
      size_t kindEnd = line.find(' ', 6);
      if (kindEnd != std::string::npos)
        c.async[line.substr(6, kindEnd - 6)] = line.substr(kindEnd + 1);
    } else {
      SessionData d;
      std::istringstream fields(line);
      for (int i = 0; i < 12 && std::getline(fields, d.fields[i], '|'); ++i) {
      }
      if (!d.fields[0].empty()) c.sessions.push_back(d);
    }
  }
  return c;
}

// IUnknown and IInspectable for an object with several interfaces: QueryInterface answers from
// the table the class builds in lookup().
#define FAKE_INSPECTABLE(First)                                                            \
  ULONG STDMETHODCALLTYPE AddRef() override {                                              \
    return InterlockedIncrement(&refs_);                                                   \
  }                                                                                        \
  ULONG STDMETHODCALLTYPE Release() override {                                             \
    ULONG n = InterlockedDecrement(&refs_);                                                \
    if (n == 0) delete this;                                                               \
    return n;                                                                              \
  }                                                                                        \
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {              \
    *out = nullptr;                                                                        \
    if (same(iid, IID_IUnknown) || same(iid, kIInspectable) || same(iid, kIAgileObject)) { \
      *out = static_cast<First*>(this);                                                    \
    } else {                                                                               \
      *out = lookup(iid);                                                                  \
    }                                                                                      \
    if (!*out) return E_NOINTERFACE;                                                       \
    AddRef();                                                                              \
    return S_OK;                                                                           \
  }                                                                                        \
  HRESULT STDMETHODCALLTYPE GetIids(ULONG* n, IID** iids) override {                       \
    *n = 0;                                                                                \
    *iids = nullptr;                                                                       \
    return S_OK;                                                                           \
  }                                                                                        \
  HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING* name) override {                  \
    *name = nullptr;                                                                       \
    return S_OK;                                                                           \
  }                                                                                        \
  HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel* level) override {                    \
    *level = BaseTrust;                                                                    \
    return S_OK;                                                                           \
  }                                                                                        \
                                                                                           \
 private:                                                                                  \
  LONG refs_ = 1;                                                                          \
                                                                                           \
 public:

const char* stateName(int32_t s) {
  switch (s) {
    case kAsyncStarted:
      return "Started";
    case kAsyncCompleted:
      return "Completed";
    case kAsyncCanceled:
      return "Canceled";
    default:
      return "Error";
  }
}

// One asynchronous operation: IAsyncOperation<T> (or IAsyncOperationWithProgress<T, P>, or
// IAsyncOperation<Boolean>) and IAsyncInfo, with the platform's state machine.
class Operation final : public IAsyncOperationOfPointer,
                        public IAsyncOperationWithProgressOfPointer,
                        public IAsyncOperationOfBoolean,
                        public IAsyncInfo {
 public:
  // Starts an operation of kind that ends as mode says, or else as fake-smtc.txt says; takes the
  // reference on result.
  static Operation* start(const char* kind, const IID& iid, bool withProgress, IUnknown* result,
                          std::string mode = "") {
    if (mode.empty()) mode = readControl().async[kind];
    if (mode == "null") {
      result->Release();
      result = nullptr;
    }
    return run(new Operation(kind, iid, withProgress, result), mode);
  }
  // The same for an IAsyncOperation<Boolean> with that result.
  static Operation* startBoolean(const char* kind, bool value) {
    auto* op = new Operation(kind, kIAsyncOperationBoolean, false, nullptr);
    op->boolean_ = true;
    op->value_ = value ? 1 : 0;
    return run(op, readControl().async[kind]);
  }

 private:
  static Operation* run(Operation* op, const std::string& mode) {
    if (mode == "hang") return op;
    DWORD delayMs = 2;
    HRESULT error = S_OK;
    if (mode.rfind("delay ", 0) == 0) delayMs = std::strtoul(mode.c_str() + 6, nullptr, 10);
    if (mode.rfind("error ", 0) == 0) {
      error = static_cast<HRESULT>(std::strtoul(mode.c_str() + 6, nullptr, 16));
    }
    op->AddRef();  // held by the completing thread
    ++gCompleting;
    std::thread([op, delayMs, error] {
      Sleep(delayMs);
      op->finish(FAILED(error) ? kAsyncError : kAsyncCompleted, error);
      op->Release();
      --gCompleting;
    }).detach();
    return op;
  }

 public:
  ~Operation() {
    if (!closed_) logLine(std::string("unclosed ") + kind_ + " " + stateName(state_));
    if (result_) result_->Release();
    if (handler_) handler_->Release();
  }

  FAKE_INSPECTABLE(IAsyncOperationOfPointer)
  void* lookup(REFIID iid) {
    if (same(iid, kIAsyncInfo)) return static_cast<IAsyncInfo*>(this);
    if (!same(iid, iid_)) return nullptr;
    return self();
  }
  void* self() {
    if (boolean_) return static_cast<IAsyncOperationOfBoolean*>(this);
    if (withProgress_) return static_cast<IAsyncOperationWithProgressOfPointer*>(this);
    return static_cast<IAsyncOperationOfPointer*>(this);
  }

  HRESULT STDMETHODCALLTYPE put_Completed(IUnknown* handler) override {
    std::unique_lock<std::mutex> lock(mu_);
    if (closed_) return illegal("put_Completed", kIllegalMethodCall);
    if (handlerSet_) return illegal("put_Completed", kIllegalDelegateAssignment);
    handlerSet_ = true;
    if (handler) handler->AddRef();
    handler_ = handler;
    if (state_ == kAsyncStarted) return S_OK;
    // Already finished: called at once, on this thread.
    lock.unlock();
    callHandler();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Completed(IUnknown** h) override {
    std::lock_guard<std::mutex> lock(mu_);
    *h = nullptr;
    if (closed_) return illegal("get_Completed", kIllegalMethodCall);
    if (handler_) handler_->AddRef();
    *h = handler_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Progress(IUnknown*) override {
    std::lock_guard<std::mutex> lock(mu_);
    return closed_ ? illegal("put_Progress", kIllegalMethodCall) : S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Progress(IUnknown** h) override {
    std::lock_guard<std::mutex> lock(mu_);
    *h = nullptr;
    return closed_ ? illegal("get_Progress", kIllegalMethodCall) : S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetResults(void** out) override {
    std::lock_guard<std::mutex> lock(mu_);
    *out = nullptr;
    if (HRESULT hr = resultsAllowed(); hr != S_OK) return hr;
    if (result_) result_->AddRef();
    *out = result_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetResults(unsigned char* out) override {
    std::lock_guard<std::mutex> lock(mu_);
    *out = 0;
    if (HRESULT hr = resultsAllowed(); hr != S_OK) return hr;
    *out = value_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Id(UINT32* id) override {
    std::lock_guard<std::mutex> lock(mu_);
    *id = 1;
    return closed_ ? illegal("get_Id", kIllegalMethodCall) : S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Status(int32_t* status) override {
    std::lock_guard<std::mutex> lock(mu_);
    *status = state_;
    return closed_ ? illegal("get_Status", kIllegalMethodCall) : S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ErrorCode(HRESULT* code) override {
    std::lock_guard<std::mutex> lock(mu_);
    *code = error_;
    return closed_ ? illegal("get_ErrorCode", kIllegalMethodCall) : S_OK;
  }
  HRESULT STDMETHODCALLTYPE Cancel() override {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (closed_) return illegal("Cancel", kIllegalMethodCall);
    }
    const DWORD delayMs = readControl().cancelDelayMs;
    if (delayMs == 0) {
      finish(kAsyncCanceled, S_OK);
      return S_OK;
    }
    // As the platform's own operations may: the cancel is only a request, completed later.
    AddRef();
    ++gCompleting;
    std::thread([this, delayMs] {
      Sleep(delayMs);
      finish(kAsyncCanceled, S_OK);
      Release();
      --gCompleting;
    }).detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Close() override {
    std::lock_guard<std::mutex> lock(mu_);
    if (closed_) return S_OK;
    if (state_ == kAsyncStarted) return illegal("Close", kIllegalStateChange);
    closed_ = true;
    if (result_) result_->Release();
    result_ = nullptr;
    return S_OK;
  }

 private:
  Operation(const char* kind, const IID& iid, bool withProgress, IUnknown* result)
      : kind_(kind), iid_(iid), withProgress_(withProgress), result_(result) {}

  // Called with mu_ held: S_OK once the operation has completed and until it is closed.
  HRESULT resultsAllowed() {
    if (closed_) return illegal("GetResults", kIllegalMethodCall);
    if (state_ == kAsyncError) return error_;
    if (state_ != kAsyncCompleted) return illegal("GetResults", kIllegalMethodCall);
    return S_OK;
  }

  // Called with mu_ held.
  HRESULT illegal(const char* method, HRESULT code) {
    logLine(std::string("illegal ") + method + " " + kind_ + " " + stateName(state_) +
            (closed_ ? " closed" : ""));
    return code;
  }

  // Leaves the Started state once; the first finish wins (a cancel may race the completion).
  void finish(int32_t state, HRESULT error) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (state_ != kAsyncStarted) return;
      state_ = state;
      error_ = error;
      if (state != kAsyncCompleted && result_) {
        result_->Release();
        result_ = nullptr;
      }
    }
    callHandler();
  }

  void callHandler() {
    IUnknown* handler = nullptr;
    int32_t state = kAsyncStarted;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!handler_ || handlerCalled_ || state_ == kAsyncStarted) return;
      handlerCalled_ = true;
      handler = handler_;
      handler->AddRef();
      state = state_;
    }
    static_cast<ICompletedHandler*>(handler)->Invoke(self(), state);
    handler->Release();
  }

  std::mutex mu_;
  const char* kind_;
  IID iid_;
  bool withProgress_;
  IUnknown* result_;
  int32_t state_ = kAsyncStarted;
  HRESULT error_ = S_OK;
  bool closed_ = false;
  IUnknown* handler_ = nullptr;
  bool handlerSet_ = false;
  bool handlerCalled_ = false;
  bool boolean_ = false;  // an IAsyncOperation<Boolean>, whose result is value_
  unsigned char value_ = 0;
  Counted counted_;
};

class ByteBuffer final : public IBuffer, public IBufferByteAccess {
 public:
  explicit ByteBuffer(UINT32 capacity) : bytes_(capacity) {}
  FAKE_INSPECTABLE(IBuffer)
  void* lookup(REFIID iid) {
    if (same(iid, kIBuffer)) return static_cast<IBuffer*>(this);
    if (same(iid, kIBufferByteAccess)) return static_cast<IBufferByteAccess*>(this);
    return nullptr;
  }
  HRESULT STDMETHODCALLTYPE get_Capacity(UINT32* v) override {
    *v = static_cast<UINT32>(bytes_.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Length(UINT32* v) override {
    *v = length_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Length(UINT32 v) override {
    if (v > bytes_.size()) return E_INVALIDARG;
    length_ = v;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Buffer(BYTE** v) override {
    *v = bytes_.data();
    return S_OK;
  }

 private:
  std::vector<BYTE> bytes_;
  UINT32 length_ = 0;
  Counted counted_;
};

class BufferFactory final : public IBufferFactory, public IActivationFactory {
 public:
  FAKE_INSPECTABLE(IBufferFactory)
  void* lookup(REFIID iid) {
    if (same(iid, kIBufferFactory)) return static_cast<IBufferFactory*>(this);
    if (same(iid, kIActivationFactory)) return static_cast<IActivationFactory*>(this);
    return nullptr;
  }
  HRESULT STDMETHODCALLTYPE Create(UINT32 capacity, IBuffer** out) override {
    *out = new ByteBuffer(capacity);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }
};

class Stream final : public IRandomAccessStream, public IContentTypeProvider, public IInputStream {
 public:
  Stream(std::string bytes, std::string type) : bytes_(std::move(bytes)), type_(std::move(type)) {}
  FAKE_INSPECTABLE(IRandomAccessStream)
  void* lookup(REFIID iid) {
    if (same(iid, kIRandomAccessStreamWithContentType) || same(iid, kIRandomAccessStream)) {
      return static_cast<IRandomAccessStream*>(this);
    }
    if (same(iid, kIContentTypeProvider)) return static_cast<IContentTypeProvider*>(this);
    if (same(iid, kIInputStream)) return static_cast<IInputStream*>(this);
    return nullptr;
  }
  HRESULT STDMETHODCALLTYPE get_Size(UINT64* v) override {
    *v = bytes_.size();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ContentType(HSTRING* v) override {
    *v = makeString(type_);
    return S_OK;
  }
  // As on Windows, the data arrives with completion and GetResults hands out another buffer:
  // the one passed in is left as it was, so a caller must read the result.
  HRESULT STDMETHODCALLTYPE ReadAsync(IBuffer* buffer, UINT32 count, UINT32,
                                      IAsyncOperationWithProgressOfPointer** op) override {
    UINT32 capacity = 0;
    buffer->get_Capacity(&capacity);
    UINT32 n = static_cast<UINT32>(std::min<size_t>({bytes_.size(), count, capacity}));
    auto* filled = new ByteBuffer(n);
    BYTE* dest = nullptr;
    filled->Buffer(&dest);
    std::memcpy(dest, bytes_.data(), n);
    filled->put_Length(n);
    *op = Operation::start("read", kIAsyncOperationRead, true, static_cast<IBuffer*>(filled));
    return S_OK;
  }

 private:
  std::string bytes_;
  std::string type_;
  Counted counted_;
};

class StreamReference final : public IRandomAccessStreamReference {
 public:
  StreamReference(std::string file, std::string type, std::string mode)
      : file_(std::move(file)), type_(std::move(type)), mode_(std::move(mode)) {}
  FAKE_INSPECTABLE(IRandomAccessStreamReference)
  void* lookup(REFIID iid) { return same(iid, kIRandomAccessStreamReference) ? this : nullptr; }
  HRESULT STDMETHODCALLTYPE OpenReadAsync(IAsyncOperationOfPointer** op) override {
    std::ifstream in(besideDll(file_.c_str()), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    IRandomAccessStream* stream = new Stream(bytes, type_);
    *op = Operation::start("open", kIAsyncOperationStream, false, stream, mode_);
    return S_OK;
  }

 private:
  std::string file_;
  std::string type_;
  std::string mode_;
  Counted counted_;
};

// Which actions a session's app takes, from its "controls" flag.
class PlaybackControls final : public ISessionPlaybackControls {
 public:
  explicit PlaybackControls(const SessionData& d) {
    const bool all = !d.has("controls");
    const std::string list = "+" + d.flag("controls") + "+";
    for (const char* name : {"toggle", "play", "pause", "next", "previous"}) {
      enabled_[name] = all || list.find(std::string("+") + name + "+") != std::string::npos;
    }
  }
  FAKE_INSPECTABLE(ISessionPlaybackControls)
  void* lookup(REFIID iid) { return same(iid, kISessionPlaybackControls) ? this : nullptr; }
  HRESULT get(const char* name, unsigned char* v) {
    *v = enabled_[name] ? 1 : 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_IsPlayEnabled(unsigned char* v) override { return get("play", v); }
  HRESULT STDMETHODCALLTYPE get_IsPauseEnabled(unsigned char* v) override {
    return get("pause", v);
  }
  HRESULT STDMETHODCALLTYPE get_IsStopEnabled(unsigned char* v) override { return get("", v); }
  HRESULT STDMETHODCALLTYPE get_IsRecordEnabled(unsigned char* v) override { return get("", v); }
  HRESULT STDMETHODCALLTYPE get_IsFastForwardEnabled(unsigned char* v) override {
    return get("", v);
  }
  HRESULT STDMETHODCALLTYPE get_IsRewindEnabled(unsigned char* v) override { return get("", v); }
  HRESULT STDMETHODCALLTYPE get_IsNextEnabled(unsigned char* v) override { return get("next", v); }
  HRESULT STDMETHODCALLTYPE get_IsPreviousEnabled(unsigned char* v) override {
    return get("previous", v);
  }
  HRESULT STDMETHODCALLTYPE get_IsChannelUpEnabled(unsigned char* v) override { return get("", v); }
  HRESULT STDMETHODCALLTYPE get_IsChannelDownEnabled(unsigned char* v) override {
    return get("", v);
  }
  HRESULT STDMETHODCALLTYPE get_IsPlayPauseToggleEnabled(unsigned char* v) override {
    return get("toggle", v);
  }

 private:
  std::map<std::string, bool> enabled_;
  Counted counted_;
};

class Properties final : public ISessionMediaProperties,
                         public ISessionTimelineProperties,
                         public ISessionPlaybackInfo {
 public:
  explicit Properties(SessionData d) : d_(std::move(d)) {}
  FAKE_INSPECTABLE(ISessionMediaProperties)
  void* lookup(REFIID iid) {
    if (same(iid, kISessionMediaProperties)) return static_cast<ISessionMediaProperties*>(this);
    if (same(iid, kISessionTimelineProperties)) {
      return static_cast<ISessionTimelineProperties*>(this);
    }
    if (same(iid, kISessionPlaybackInfo)) return static_cast<ISessionPlaybackInfo*>(this);
    return nullptr;
  }
  HRESULT str(int i, HSTRING* v) {
    *v = makeString(d_.fields[i]);
    return S_OK;
  }
  INT64 num(int i) { return std::strtoll(d_.fields[i].c_str(), nullptr, 10); }
  HRESULT STDMETHODCALLTYPE get_Title(HSTRING* v) override { return str(1, v); }
  HRESULT STDMETHODCALLTYPE get_Subtitle(HSTRING* v) override {
    *v = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_AlbumArtist(HSTRING* v) override { return str(2, v); }
  HRESULT STDMETHODCALLTYPE get_Artist(HSTRING* v) override { return str(2, v); }
  HRESULT STDMETHODCALLTYPE get_AlbumTitle(HSTRING* v) override { return str(3, v); }
  HRESULT STDMETHODCALLTYPE get_TrackNumber(INT32* v) override {
    *v = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Genres(IInspectable** v) override {
    *v = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_AlbumTrackCount(INT32* v) override {
    *v = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_PlaybackType(IInspectable** v) override {
    *v = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Thumbnail(IRandomAccessStreamReference** v) override {
    *v = d_.fields[9].empty() ? nullptr
                              : new StreamReference(d_.fields[9], d_.fields[10], d_.flag("open"));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_StartTime(TimeSpan* v) override {
    v->Duration = num(5);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_EndTime(TimeSpan* v) override {
    v->Duration = num(6);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_MinSeekTime(TimeSpan* v) override {
    v->Duration = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_MaxSeekTime(TimeSpan* v) override {
    v->Duration = num(6);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Position(TimeSpan* v) override {
    v->Duration = num(7);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_LastUpdatedTime(DateTime* v) override {
    v->UniversalTime = num(8);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Controls(ISessionPlaybackControls** v) override {
    *v = new PlaybackControls(d_);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_PlaybackStatus(int32_t* v) override {
    *v = static_cast<int32_t>(num(4));
    return S_OK;
  }

 private:
  SessionData d_;
  Counted counted_;
};

class Session final : public ISession {
 public:
  explicit Session(SessionData d) : d_(std::move(d)) {}
  FAKE_INSPECTABLE(ISession)
  void* lookup(REFIID iid) { return same(iid, kISession) ? this : nullptr; }
  HRESULT STDMETHODCALLTYPE get_SourceAppUserModelId(HSTRING* v) override {
    *v = nullptr;
    if (d_.has("gone")) return kDisconnected;
    *v = makeString(d_.fields[0]);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE TryGetMediaPropertiesAsync(IAsyncOperationOfPointer** op) override {
    *op = nullptr;
    if (FAILED(d_.failure())) return d_.failure();
    ISessionMediaProperties* p = new Properties(d_);
    *op = Operation::start("properties", kIAsyncOperationMediaProperties, false, p,
                           d_.flag("properties"));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTimelineProperties(ISessionTimelineProperties** v) override {
    *v = nullptr;
    if (FAILED(d_.failure())) return d_.failure();
    if (d_.has("block")) Sleep(INFINITE);
    Properties* p = new Properties(d_);
    *v = static_cast<ISessionTimelineProperties*>(p);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPlaybackInfo(ISessionPlaybackInfo** v) override {
    *v = nullptr;
    if (FAILED(d_.failure())) return d_.failure();
    Properties* p = new Properties(d_);
    *v = static_cast<ISessionPlaybackInfo*>(p);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE TryPlayAsync(IAsyncOperationOfBoolean** op) override {
    return act("TryPlayAsync", "play", op);
  }
  HRESULT STDMETHODCALLTYPE TryPauseAsync(IAsyncOperationOfBoolean** op) override {
    return act("TryPauseAsync", "pause", op);
  }
  HRESULT STDMETHODCALLTYPE TryStopAsync(IAsyncOperationOfBoolean** op) override {
    return act("TryStopAsync", "", op);
  }
  HRESULT STDMETHODCALLTYPE TryRecordAsync(IAsyncOperationOfBoolean** op) override {
    return act("TryRecordAsync", "", op);
  }
  HRESULT STDMETHODCALLTYPE TryFastForwardAsync(IAsyncOperationOfBoolean** op) override {
    return act("TryFastForwardAsync", "", op);
  }
  HRESULT STDMETHODCALLTYPE TryRewindAsync(IAsyncOperationOfBoolean** op) override {
    return act("TryRewindAsync", "", op);
  }
  HRESULT STDMETHODCALLTYPE TrySkipNextAsync(IAsyncOperationOfBoolean** op) override {
    return act("TrySkipNextAsync", "next", op);
  }
  HRESULT STDMETHODCALLTYPE TrySkipPreviousAsync(IAsyncOperationOfBoolean** op) override {
    return act("TrySkipPreviousAsync", "previous", op);
  }
  HRESULT STDMETHODCALLTYPE TryChangeChannelUpAsync(IAsyncOperationOfBoolean** op) override {
    return act("TryChangeChannelUpAsync", "", op);
  }
  HRESULT STDMETHODCALLTYPE TryChangeChannelDownAsync(IAsyncOperationOfBoolean** op) override {
    return act("TryChangeChannelDownAsync", "", op);
  }
  HRESULT STDMETHODCALLTYPE TryTogglePlayPauseAsync(IAsyncOperationOfBoolean** op) override {
    return act("TryTogglePlayPauseAsync", "toggle", op);
  }

 private:
  // Notes the call; the app takes the action when its controls list it and it refuses none.
  HRESULT act(const char* method, const char* control, IAsyncOperationOfBoolean** op) {
    *op = nullptr;
    logLine(std::string(method) + " " + d_.fields[0] + "|" + d_.fields[1], "fake-smtc-actions.log");
    if (FAILED(d_.failure())) return d_.failure();
    unsigned char enabled = 0;
    PlaybackControls(d_).get(control, &enabled);
    *op = Operation::startBoolean("control", enabled && !d_.has("refuse"));
    return S_OK;
  }

  SessionData d_;
  Counted counted_;
};

class SessionList final : public IVectorViewOfPointer {
 public:
  explicit SessionList(std::vector<SessionData> s) : sessions_(std::move(s)) {}
  FAKE_INSPECTABLE(IVectorViewOfPointer)
  void* lookup(REFIID iid) { return same(iid, kIVectorViewSession) ? this : nullptr; }
  HRESULT STDMETHODCALLTYPE GetAt(UINT32 i, void** item) override {
    if (i >= sessions_.size()) return E_INVALIDARG;
    *item = static_cast<ISession*>(new Session(sessions_[i]));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Size(UINT32* n) override {
    *n = static_cast<UINT32>(sessions_.size());
    return S_OK;
  }

 private:
  std::vector<SessionData> sessions_;
  Counted counted_;
};

volatile int* volatile gNull = nullptr;

// Faults with nothing of its own alive, so the fault leaks nothing of the stand-in's.
__attribute__((noinline)) void crash() {
  *gNull = 1;
}

class Manager final : public ISessionManager {
 public:
  FAKE_INSPECTABLE(ISessionManager)
  void* lookup(REFIID iid) { return same(iid, kISessionManager) ? this : nullptr; }
  HRESULT STDMETHODCALLTYPE GetCurrentSession(ISession** v) override {
    *v = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSessions(IVectorViewOfPointer** v) override {
    *v = nullptr;
    if (readControl().fault) crash();
    Control c = readControl();
    if (FAILED(c.fail)) return c.fail;
    *v = new SessionList(c.sessions);
    return S_OK;
  }

 private:
  Counted counted_;
};

class ManagerStatics final : public ISessionManagerStatics, public IActivationFactory {
 public:
  FAKE_INSPECTABLE(ISessionManagerStatics)
  void* lookup(REFIID iid) {
    if (same(iid, kISessionManagerStatics)) return static_cast<ISessionManagerStatics*>(this);
    if (same(iid, kIActivationFactory)) return static_cast<IActivationFactory*>(this);
    return nullptr;
  }
  HRESULT STDMETHODCALLTYPE RequestAsync(IAsyncOperationOfPointer** op) override {
    logLine("manager requested", "fake-smtc-requests.log");
    ISessionManager* m = new Manager();
    *op = Operation::start("manager", kIAsyncOperationSessionManager, false, m);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }
};

// Notes the objects that the caller never released. Written without the log's lock: at the
// process's end the other threads are gone, and one of them may have held it.
void logLeaks() {
  const long leaked = gLive - gCompleting;
  if (leaked <= 0) return;
  const std::string line = "leaked " + std::to_string(leaked) + "\n";
  HANDLE f = CreateFileA(besideDll("fake-smtc.log").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(f, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(f);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) gModule = instance;
  if (reason == DLL_PROCESS_DETACH) logLeaks();
  return TRUE;
}

extern "C" __declspec(dllexport) HRESULT WINAPI
    DllGetActivationFactory(HSTRING classId, IActivationFactory** out) {
  UINT32 n = 0;
  const wchar_t* name = WindowsGetStringRawBuffer(classId, &n);
  std::wstring cls(name ? name : L"", n);
  if (cls == kSessionManagerClass) {
    *out = static_cast<IActivationFactory*>(new ManagerStatics());
    return S_OK;
  }
  if (cls == kBufferClass) {
    *out = static_cast<IActivationFactory*>(new BufferFactory());
    return S_OK;
  }
  *out = nullptr;
  return CLASS_E_CLASSNOTAVAILABLE;
}
