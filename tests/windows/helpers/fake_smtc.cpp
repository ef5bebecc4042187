// A stand-in for the system's media-session classes, loaded by the Windows Runtime when the test
// registers this DLL for "Windows.Media.Control.GlobalSystemMediaTransportControlsSessionManager"
// and "Windows.Storage.Streams.Buffer" in the Wine prefix. The sessions come from the text file
// "fake-smtc.txt" beside the DLL, read at every GetSessions, one session per line:
//   aumid|title|artist|album|status|start|end|position|lastUpdated|thumbnail file|content type
// (times in 100 ns ticks, status as the platform's number). A line "fault" makes GetSessions
// write through a null pointer; a line "fail HEX" makes it return that HRESULT.
#include <activation.h>
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "agent/sources/winrt_smtc.h"

using namespace tunelight::winrt;

namespace {

HMODULE gModule = nullptr;

// mingw's import libraries do not define IID_IInspectable.
constexpr IID kIID_IInspectable = {
    0xaf86e2e0, 0xb12d, 0x4c6a, {0x9c, 0x5a, 0xd7, 0xaa, 0x65, 0x10, 0x1e, 0x90}};
constexpr IID kIID_IActivationFactory = {
    0x00000035, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
constexpr IID kIID_IAgileObject = {
    0x94ea2b94, 0xe9cc, 0x49e0, {0xc0, 0xff, 0xee, 0x64, 0xca, 0x8f, 0x5b, 0x90}};

bool same(REFIID a, const IID& b) {
  return std::memcmp(&a, &b, sizeof(IID)) == 0;
}

HSTRING makeString(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  if (n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &w[0], n);
  }
  HSTRING h = nullptr;
  WindowsCreateString(w.c_str(), static_cast<UINT32>(w.size()), &h);
  return h;
}

std::string besideDll(const char* name) {
  char path[MAX_PATH];
  GetModuleFileNameA(gModule, path, MAX_PATH);
  std::string p = path;
  return p.substr(0, p.find_last_of("\\/") + 1) + name;
}

// IUnknown and IInspectable for an object with several interfaces: QueryInterface answers from
// the table the class builds in lookup().
#define FAKE_INSPECTABLE(First)                                                                    \
  ULONG STDMETHODCALLTYPE AddRef() override {                                                      \
    return InterlockedIncrement(&refs_);                                                           \
  }                                                                                                \
  ULONG STDMETHODCALLTYPE Release() override {                                                     \
    ULONG n = InterlockedDecrement(&refs_);                                                        \
    if (n == 0) delete this;                                                                       \
    return n;                                                                                      \
  }                                                                                                \
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {                      \
    *out = nullptr;                                                                                \
    if (same(iid, IID_IUnknown) || same(iid, kIID_IInspectable) || same(iid, kIID_IAgileObject)) { \
      *out = static_cast<First*>(this);                                                            \
    } else {                                                                                       \
      *out = lookup(iid);                                                                          \
    }                                                                                              \
    if (!*out) return E_NOINTERFACE;                                                               \
    AddRef();                                                                                      \
    return S_OK;                                                                                   \
  }                                                                                                \
  HRESULT STDMETHODCALLTYPE GetIids(ULONG* n, IID** iids) override {                               \
    *n = 0;                                                                                        \
    *iids = nullptr;                                                                               \
    return S_OK;                                                                                   \
  }                                                                                                \
  HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING* name) override {                          \
    *name = nullptr;                                                                               \
    return S_OK;                                                                                   \
  }                                                                                                \
  HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel* level) override {                            \
    *level = BaseTrust;                                                                            \
    return S_OK;                                                                                   \
  }                                                                                                \
                                                                                                   \
 private:                                                                                          \
  LONG refs_ = 1;                                                                                  \
                                                                                                   \
 public:

// A finished asynchronous operation holding its result.
class Operation final : public IAsyncOperationOfPointer,
                        public IAsyncOperationWithProgressOfPointer,
                        public IAsyncInfo {
 public:
  Operation(IUnknown* result, const IID& iid) : result_(result), iid_(iid) {}
  ~Operation() {
    if (result_) result_->Release();
  }
  FAKE_INSPECTABLE(IAsyncOperationOfPointer)
  void* lookup(REFIID iid) {
    if (same(iid, kIID_IAsyncInfo)) return static_cast<IAsyncInfo*>(this);
    if (same(iid, kIID_IAsyncOperationWithProgress_BufferUInt32) && same(iid_, iid)) {
      return static_cast<IAsyncOperationWithProgressOfPointer*>(this);
    }
    if (same(iid, iid_)) return static_cast<IAsyncOperationOfPointer*>(this);
    return nullptr;
  }
  HRESULT STDMETHODCALLTYPE put_Completed(IUnknown*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE get_Completed(IUnknown** h) override {
    *h = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_Progress(IUnknown*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE get_Progress(IUnknown** h) override {
    *h = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetResults(void** out) override {
    if (result_) result_->AddRef();
    *out = result_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Id(UINT32* id) override {
    *id = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Status(int32_t* status) override {
    // Reported as running once, so the caller's wait loop runs.
    *status = polled_++ == 0 ? kAsyncStarted : kAsyncCompleted;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_ErrorCode(HRESULT* code) override {
    *code = S_OK;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Cancel() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Close() override { return S_OK; }

 private:
  IUnknown* result_;
  IID iid_;
  int polled_ = 0;
};

class ByteBuffer final : public IBuffer, public IBufferByteAccess {
 public:
  explicit ByteBuffer(UINT32 capacity) : bytes_(capacity) {}
  FAKE_INSPECTABLE(IBuffer)
  void* lookup(REFIID iid) {
    if (same(iid, kIID_IBuffer)) return static_cast<IBuffer*>(this);
    if (same(iid, kIID_IBufferByteAccess)) return static_cast<IBufferByteAccess*>(this);
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
};

class BufferFactory final : public IBufferFactory, public IActivationFactory {
 public:
  FAKE_INSPECTABLE(IBufferFactory)
  void* lookup(REFIID iid) {
    if (same(iid, kIID_IBufferFactory)) return static_cast<IBufferFactory*>(this);
    if (same(iid, kIID_IActivationFactory)) return static_cast<IActivationFactory*>(this);
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
    if (same(iid, kIID_IRandomAccessStreamWithContentType) || same(iid, kIID_IRandomAccessStream)) {
      return static_cast<IRandomAccessStream*>(this);
    }
    if (same(iid, kIID_IContentTypeProvider)) return static_cast<IContentTypeProvider*>(this);
    if (same(iid, kIID_IInputStream)) return static_cast<IInputStream*>(this);
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
  HRESULT STDMETHODCALLTYPE ReadAsync(IBuffer* buffer, UINT32 count, UINT32,
                                      IAsyncOperationWithProgressOfPointer** op) override {
    IBufferByteAccess* access = nullptr;
    if (FAILED(buffer->QueryInterface(kIID_IBufferByteAccess, reinterpret_cast<void**>(&access)))) {
      return E_INVALIDARG;
    }
    BYTE* dest = nullptr;
    access->Buffer(&dest);
    access->Release();
    UINT32 capacity = 0;
    buffer->get_Capacity(&capacity);
    UINT32 n = static_cast<UINT32>(std::min<size_t>({bytes_.size(), count, capacity}));
    std::memcpy(dest, bytes_.data(), n);
    buffer->put_Length(n);
    buffer->AddRef();
    *op = new Operation(buffer, kIID_IAsyncOperationWithProgress_BufferUInt32);
    return S_OK;
  }

 private:
  std::string bytes_;
  std::string type_;
};

class StreamReference final : public IRandomAccessStreamReference {
 public:
  StreamReference(std::string file, std::string type)
      : file_(std::move(file)), type_(std::move(type)) {}
  FAKE_INSPECTABLE(IRandomAccessStreamReference)
  void* lookup(REFIID iid) { return same(iid, kIID_IRandomAccessStreamReference) ? this : nullptr; }
  HRESULT STDMETHODCALLTYPE OpenReadAsync(IAsyncOperationOfPointer** op) override {
    std::ifstream in(besideDll(file_.c_str()), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    IRandomAccessStream* stream = new Stream(bytes, type_);
    *op = new Operation(stream, kIID_IAsyncOperation_StreamWithContentType);
    return S_OK;
  }

 private:
  std::string file_;
  std::string type_;
};

struct SessionData {
  std::string fields[11];
};

class Properties final : public ISessionMediaProperties,
                         public ISessionTimelineProperties,
                         public ISessionPlaybackInfo {
 public:
  explicit Properties(SessionData d) : d_(std::move(d)) {}
  FAKE_INSPECTABLE(ISessionMediaProperties)
  void* lookup(REFIID iid) {
    if (same(iid, kIID_ISessionMediaProperties)) return static_cast<ISessionMediaProperties*>(this);
    if (same(iid, kIID_ISessionTimelineProperties)) {
      return static_cast<ISessionTimelineProperties*>(this);
    }
    if (same(iid, kIID_ISessionPlaybackInfo)) return static_cast<ISessionPlaybackInfo*>(this);
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
    *v = d_.fields[9].empty() ? nullptr : new StreamReference(d_.fields[9], d_.fields[10]);
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
  HRESULT STDMETHODCALLTYPE get_Controls(IInspectable** v) override {
    *v = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE get_PlaybackStatus(int32_t* v) override {
    *v = static_cast<int32_t>(num(4));
    return S_OK;
  }

 private:
  SessionData d_;
};

class Session final : public ISession {
 public:
  explicit Session(SessionData d) : d_(std::move(d)) {}
  FAKE_INSPECTABLE(ISession)
  void* lookup(REFIID iid) { return same(iid, kIID_ISession) ? this : nullptr; }
  HRESULT STDMETHODCALLTYPE get_SourceAppUserModelId(HSTRING* v) override {
    *v = makeString(d_.fields[0]);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE TryGetMediaPropertiesAsync(IAsyncOperationOfPointer** op) override {
    ISessionMediaProperties* p = new Properties(d_);
    *op = new Operation(p, kIID_IAsyncOperation_SessionMediaProperties);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTimelineProperties(ISessionTimelineProperties** v) override {
    Properties* p = new Properties(d_);
    *v = static_cast<ISessionTimelineProperties*>(p);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPlaybackInfo(ISessionPlaybackInfo** v) override {
    Properties* p = new Properties(d_);
    *v = static_cast<ISessionPlaybackInfo*>(p);
    return S_OK;
  }

 private:
  SessionData d_;
};

class SessionList final : public IVectorViewOfPointer {
 public:
  explicit SessionList(std::vector<SessionData> s) : sessions_(std::move(s)) {}
  FAKE_INSPECTABLE(IVectorViewOfPointer)
  void* lookup(REFIID iid) { return same(iid, kIID_IVectorView_Session) ? this : nullptr; }
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
};

volatile int* volatile gNull = nullptr;

class Manager final : public ISessionManager {
 public:
  FAKE_INSPECTABLE(ISessionManager)
  void* lookup(REFIID iid) { return same(iid, kIID_ISessionManager) ? this : nullptr; }
  HRESULT STDMETHODCALLTYPE GetCurrentSession(ISession** v) override {
    *v = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetSessions(IVectorViewOfPointer** v) override {
    *v = nullptr;
    std::ifstream in(besideDll("fake-smtc.txt"));
    std::vector<SessionData> sessions;
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line == "fault") *gNull = 1;
      if (line.rfind("fail ", 0) == 0) {
        return static_cast<HRESULT>(std::strtoul(line.c_str() + 5, nullptr, 16));
      }
      SessionData d;
      std::istringstream fields(line);
      for (int i = 0; i < 11 && std::getline(fields, d.fields[i], '|'); ++i) {
      }
      if (!d.fields[0].empty()) sessions.push_back(d);
    }
    *v = new SessionList(sessions);
    return S_OK;
  }
};

class ManagerStatics final : public ISessionManagerStatics, public IActivationFactory {
 public:
  FAKE_INSPECTABLE(ISessionManagerStatics)
  void* lookup(REFIID iid) {
    if (same(iid, kIID_ISessionManagerStatics)) return static_cast<ISessionManagerStatics*>(this);
    if (same(iid, kIID_IActivationFactory)) return static_cast<IActivationFactory*>(this);
    return nullptr;
  }
  HRESULT STDMETHODCALLTYPE RequestAsync(IAsyncOperationOfPointer** op) override {
    ISessionManager* m = new Manager();
    *op = new Operation(m, kIID_IAsyncOperation_SessionManager);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ActivateInstance(IInspectable** out) override {
    *out = nullptr;
    return E_NOTIMPL;
  }
};

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) gModule = instance;
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
