// Media sessions of Windows (the system media transport controls), called through the Windows
// Runtime ABI on a multi-threaded apartment. Every asynchronous operation is awaited on the
// calling (watcher) thread by polling its IAsyncInfo, so no callback ever runs on a pool thread.
#include <windows.h>
// After windows.h, which they need.
#include <roapi.h>
#include <winstring.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "agent/model.h"
#include "agent/sources/media_backend.h"
#include "agent/sources/winrt_smtc.h"
#include "agent/utf16_windows.h"

namespace tunelight {

namespace {

using namespace winrt;

// Owning pointer to a COM interface.
template <typename T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* p) : p_(p) {}
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
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T** put() {
    reset();
    return &p_;
  }
  void reset() {
    if (p_) p_->Release();
    p_ = nullptr;
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

void check(HRESULT hr) {
  if (FAILED(hr)) throw MediaError(static_cast<uint32_t>(hr), systemMessage(hr));
}

// A returned HSTRING, freed here. A null HSTRING is the empty string.
class HString {
 public:
  HString() = default;
  ~HString() {
    if (h_) WindowsDeleteString(h_);
  }
  HString(const HString&) = delete;
  HString& operator=(const HString&) = delete;
  HSTRING* put() { return &h_; }

  std::string utf8() const {
    UINT32 n = 0;
    const wchar_t* s = WindowsGetStringRawBuffer(h_, &n);
    return toUtf8(s, n);
  }

 private:
  HSTRING h_ = nullptr;
};

template <typename T>
Ref<T> activationFactory(const wchar_t* className, const IID& iid) {
  HSTRING_HEADER header;
  HSTRING name = nullptr;
  check(WindowsCreateStringReference(className, static_cast<UINT32>(wcslen(className)), &header,
                                     &name));
  Ref<T> factory;
  check(RoGetActivationFactory(name, iid, reinterpret_cast<void**>(factory.put())));
  return factory;
}

// Waits until the operation has left the Started state; raises its error, or E_ABORT when it
// was cancelled. The wait has no limit: the platform ends or cancels every operation itself.
void awaitCompletion(IInspectable* op) {
  Ref<IAsyncInfo> info;
  check(op->QueryInterface(kIID_IAsyncInfo, reinterpret_cast<void**>(info.put())));
  int32_t status = kAsyncStarted;
  for (DWORD pause = 0;; pause = pause < 10 ? pause + 1 : 10) {
    check(info->get_Status(&status));
    if (status != kAsyncStarted) break;
    Sleep(pause);
  }
  HRESULT error = S_OK;
  if (status == kAsyncError) {
    info->get_ErrorCode(&error);
    if (SUCCEEDED(error)) error = E_FAIL;
  } else if (status == kAsyncCanceled) {
    error = E_ABORT;
  }
  info->Close();
  check(error);
}

template <typename T>
Ref<T> awaitResult(IAsyncOperationOfPointer* op) {
  awaitCompletion(op);
  Ref<T> result;
  check(op->GetResults(reinterpret_cast<void**>(result.put())));
  return result;
}

template <typename T>
Ref<T> awaitResult(IAsyncOperationWithProgressOfPointer* op) {
  awaitCompletion(op);
  Ref<T> result;
  check(op->GetResults(reinterpret_cast<void**>(result.put())));
  return result;
}

class WinThumbnailStream : public MediaThumbnailStream {
 public:
  explicit WinThumbnailStream(Ref<IInspectable> stream) : stream_(std::move(stream)) {}

  uint64_t size() override {
    Ref<IRandomAccessStream> ras;
    check(stream_->QueryInterface(kIID_IRandomAccessStream, reinterpret_cast<void**>(ras.put())));
    UINT64 size = 0;
    check(ras->get_Size(&size));
    return size;
  }

  std::string contentType() override {
    Ref<IContentTypeProvider> provider;
    check(stream_->QueryInterface(kIID_IContentTypeProvider,
                                  reinterpret_cast<void**>(provider.put())));
    HString type;
    check(provider->get_ContentType(type.put()));
    return type.utf8();
  }

  std::string read(uint32_t count) override {
    if (!bufferFactory_) {
      bufferFactory_ = activationFactory<IBufferFactory>(kBufferClass, kIID_IBufferFactory);
    }
    Ref<IBuffer> buffer;
    check(bufferFactory_->Create(count, buffer.put()));
    Ref<IInputStream> input;
    check(stream_->QueryInterface(kIID_IInputStream, reinterpret_cast<void**>(input.put())));
    Ref<IAsyncOperationWithProgressOfPointer> op;
    check(input->ReadAsync(buffer.get(), count, 0, op.put()));
    // The filled buffer may be another object than the one passed in.
    Ref<IBuffer> filled = awaitResult<IBuffer>(op.get());
    if (!filled) return {};
    UINT32 length = 0;
    check(filled->get_Length(&length));
    if (length == 0) return {};
    Ref<IBufferByteAccess> access;
    check(filled->QueryInterface(kIID_IBufferByteAccess, reinterpret_cast<void**>(access.put())));
    BYTE* bytes = nullptr;
    check(access->Buffer(&bytes));
    if (!bytes) return {};
    return std::string(reinterpret_cast<const char*>(bytes), length);
  }

 private:
  Ref<IInspectable> stream_;  // IRandomAccessStreamWithContentType
  Ref<IBufferFactory> bufferFactory_;
};

class WinThumbnail : public MediaThumbnail {
 public:
  explicit WinThumbnail(Ref<IRandomAccessStreamReference> ref) : ref_(std::move(ref)) {}

  std::unique_ptr<MediaThumbnailStream> open() override {
    Ref<IAsyncOperationOfPointer> op;
    check(ref_->OpenReadAsync(op.put()));
    Ref<IInspectable> stream = awaitResult<IInspectable>(op.get());
    if (!stream) return nullptr;
    return std::make_unique<WinThumbnailStream>(std::move(stream));
  }

 private:
  Ref<IRandomAccessStreamReference> ref_;
};

class WinSession : public MediaSession {
 public:
  explicit WinSession(Ref<ISession> session) : session_(std::move(session)) {}

  std::string appId() override {
    if (!haveAppId_) {
      HString id;
      check(session_->get_SourceAppUserModelId(id.put()));
      appId_ = id.utf8();
      haveAppId_ = true;
    }
    return appId_;
  }

  AppIdentity identify() override { return identifyApp(appId()); }

  MediaProperties properties() override {
    Ref<IAsyncOperationOfPointer> op;
    check(session_->TryGetMediaPropertiesAsync(op.put()));
    Ref<ISessionMediaProperties> props = awaitResult<ISessionMediaProperties>(op.get());
    MediaProperties out;
    if (!props) return out;
    HString title, artist, album;
    check(props->get_Title(title.put()));
    check(props->get_Artist(artist.put()));
    check(props->get_AlbumTitle(album.put()));
    out.title = title.utf8();
    out.artist = artist.utf8();
    out.album = album.utf8();
    Ref<IRandomAccessStreamReference> thumbnail;
    check(props->get_Thumbnail(thumbnail.put()));
    if (thumbnail) out.thumbnail = std::make_shared<WinThumbnail>(std::move(thumbnail));
    return out;
  }

  int32_t playbackStatus() override {
    Ref<ISessionPlaybackInfo> info;
    check(session_->GetPlaybackInfo(info.put()));
    int32_t status = kSessionClosed;
    if (info) check(info->get_PlaybackStatus(&status));
    if (status == kSessionPlaying) return kStatusPlaying;
    if (status == kSessionPaused) return kStatusPaused;
    return kStatusStopped;
  }

  MediaTimeline timeline() override {
    Ref<ISessionTimelineProperties> t;
    check(session_->GetTimelineProperties(t.put()));
    MediaTimeline out;
    if (!t) return out;
    TimeSpan start{}, end{}, position{};
    DateTime updated{};
    check(t->get_StartTime(&start));
    check(t->get_EndTime(&end));
    check(t->get_Position(&position));
    check(t->get_LastUpdatedTime(&updated));
    out.startTime = start.Duration;
    out.endTime = end.Duration;
    out.position = position.Duration;
    out.lastUpdatedTime = updated.UniversalTime;
    return out;
  }

 private:
  Ref<ISession> session_;
  bool haveAppId_ = false;
  std::string appId_;
};

class WinManager : public MediaManager {
 public:
  explicit WinManager(Ref<ISessionManager> manager) : manager_(std::move(manager)) {}

  std::vector<std::unique_ptr<MediaSession>> sessions() override {
    Ref<IVectorViewOfPointer> list;
    check(manager_->GetSessions(list.put()));
    std::vector<std::unique_ptr<MediaSession>> out;
    if (!list) return out;
    UINT32 size = 0;
    check(list->get_Size(&size));
    for (UINT32 i = 0; i < size; ++i) {
      Ref<ISession> session;
      check(list->GetAt(i, reinterpret_cast<void**>(session.put())));
      if (session) out.push_back(std::make_unique<WinSession>(std::move(session)));
    }
    return out;
  }

 private:
  Ref<ISessionManager> manager_;
};

// ---- Fault guard ----
//
// GCC has no __try/__except. A vectored exception handler sees a processor fault before any
// frame handler; while a guard is active on the faulting thread it records the code and resumes
// the thread in guardRecover, which jumps back into guard() with __builtin_longjmp (a plain
// register restore: no unwinding, so the objects of the abandoned cycle leak, as they would
// under __except). Language exceptions (C++ throws, MSVC's code) and every exception on threads
// without an active guard are left to the normal handlers.

struct GuardFrame {
  void* jump[5];
  volatile DWORD code;
  volatile bool active;
};

// The active guard of each thread, in a Win32 TLS slot: reading it inside the exception handler
// never allocates (GCC's emulated thread_local may, on a thread's first access).
DWORD gGuardSlot = TlsAlloc();

GuardFrame* currentGuard() {
  return static_cast<GuardFrame*>(TlsGetValue(gGuardSlot));
}

bool isProcessorFault(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_DATATYPE_MISALIGNMENT:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_IN_PAGE_ERROR:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_STACK_OVERFLOW:
      return true;
    default:
      return false;
  }
}

[[noreturn]] __attribute__((noinline)) void guardRecover() {
  __builtin_longjmp(currentGuard()->jump, 1);
}

LONG CALLBACK faultHandler(EXCEPTION_POINTERS* info) {
  GuardFrame* frame = currentGuard();
  if (!frame || !frame->active) return EXCEPTION_CONTINUE_SEARCH;
  DWORD code = info->ExceptionRecord->ExceptionCode;
  if (!isProcessorFault(code)) return EXCEPTION_CONTINUE_SEARCH;
  frame->code = code;
  frame->active = false;
  // Resume on stack already used below guard()'s frame (whatever the faulting stack's state),
  // aligned as at a function's entry.
  DWORD64 sp = reinterpret_cast<DWORD64>(frame->jump[2]);
  info->ContextRecord->Rsp = ((sp - 1024) & ~DWORD64{15}) - 8;
  info->ContextRecord->Rip = reinterpret_cast<DWORD64>(&guardRecover);
  return EXCEPTION_CONTINUE_EXECUTION;
}

class WindowsBackend : public MediaBackend {
 public:
  WindowsBackend() { handler_ = AddVectoredExceptionHandler(1, faultHandler); }
  ~WindowsBackend() override {
    if (handler_) RemoveVectoredExceptionHandler(handler_);
  }
  WindowsBackend(const WindowsBackend&) = delete;
  WindowsBackend& operator=(const WindowsBackend&) = delete;

  void threadBegin() override {
    HRESULT hr = RoInitialize(RO_INIT_MULTITHREADED);
    if (FAILED(hr)) throw MediaError(static_cast<uint32_t>(hr), systemMessage(hr));
    initialized_ = true;
  }

  void threadEnd() override {
    if (initialized_) RoUninitialize();
    initialized_ = false;
  }

  std::unique_ptr<MediaManager> requestManager() override {
    Ref<ISessionManagerStatics> statics = activationFactory<ISessionManagerStatics>(
        kSessionManagerClass, kIID_ISessionManagerStatics);
    Ref<IAsyncOperationOfPointer> op;
    check(statics->RequestAsync(op.put()));
    Ref<ISessionManager> manager = awaitResult<ISessionManager>(op.get());
    if (!manager) throw MediaError(E_POINTER, systemMessage(E_POINTER));
    return std::make_unique<WinManager>(std::move(manager));
  }

  uint32_t guard(const std::function<void()>& body) override {
    GuardFrame frame{};
    GuardFrame* volatile outer = currentGuard();
    TlsSetValue(gGuardSlot, &frame);
    if (__builtin_setjmp(frame.jump) == 0) {
      frame.active = true;
      try {
        body();
      } catch (...) {
        frame.active = false;
        TlsSetValue(gGuardSlot, outer);
        throw;
      }
      frame.active = false;
      TlsSetValue(gGuardSlot, outer);
      return 0;
    }
    TlsSetValue(gGuardSlot, outer);
    return frame.code;
  }

 private:
  PVOID handler_ = nullptr;
  bool initialized_ = false;
};

}  // namespace

std::unique_ptr<MediaBackend> makePlatformMediaBackend() {
  return std::make_unique<WindowsBackend>();
}

}  // namespace tunelight
