// Checks that the stand-in's asynchronous operations keep the platform's contract, so that the
// tests of the media-session backend against it mean something:
//   wine-async-check DLL
// loads the stand-in DLL, drives RequestAsync operations in each mode (the control file beside
// the DLL selects it) and prints one line per case, then the stand-in's log.
#include <windows.h>
// After windows.h, which they need.
#include <activation.h>
#include <winstring.h>

#include <cstdio>
#include <fstream>
#include <string>

#define TUNELIGHT_WINRT_NO_IIDS
#include "agent/sources/winrt_smtc.h"
#include "tests/windows/helpers/stand_in_iids.h"

namespace {

using namespace tunelight::winrt;

std::string gDir;

// A completion handler that counts its calls. It may be called on another thread, so it lives
// as long as references to it do.
struct Handler final : IUnknown {
  LONG refs = 1;
  volatile LONG calls = 0;
  volatile int32_t status = -1;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    *out = IsEqualIID(iid, IID_IUnknown) ? this : nullptr;
    if (!*out) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG n = InterlockedDecrement(&refs);
    if (n == 0) delete this;
    return n;
  }
  virtual HRESULT STDMETHODCALLTYPE Invoke(void*, int32_t s) {
    status = s;
    InterlockedIncrement(&calls);
    return S_OK;
  }
  // The number of calls once the first one came (or after a second without any).
  LONG waitCalled() {
    for (int n = 0; n < 100 && calls == 0; ++n) Sleep(10);
    Sleep(20);  // room for a wrong second call
    return calls;
  }
};

ISessionManagerStatics* gStatics = nullptr;

// A new RequestAsync operation that ends as mode says.
IAsyncOperationOfPointer* start(const std::string& mode) {
  std::ofstream(gDir + "fake-smtc.txt") << "async manager " << mode << "\n";
  IAsyncOperationOfPointer* op = nullptr;
  gStatics->RequestAsync(&op);
  return op;
}

IAsyncInfo* info(IAsyncOperationOfPointer* op) {
  IAsyncInfo* i = nullptr;
  op->QueryInterface(tunelight::test::standInIid("IAsyncInfo"), reinterpret_cast<void**>(&i));
  return i;
}

int32_t waitDone(IAsyncInfo* i) {
  int32_t s = kAsyncStarted;
  for (int n = 0; n < 500 && SUCCEEDED(i->get_Status(&s)) && s == kAsyncStarted; ++n) Sleep(10);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string dll = argv[1];
  gDir = dll.substr(0, dll.find_last_of("\\/") + 1);
  HMODULE module = LoadLibraryA(dll.c_str());
  auto getFactory = reinterpret_cast<HRESULT(WINAPI*)(HSTRING, IActivationFactory**)>(
      reinterpret_cast<void*>(GetProcAddress(module, "DllGetActivationFactory")));
  if (!getFactory) return 2;
  HSTRING_HEADER header;
  HSTRING name = nullptr;
  WindowsCreateStringReference(kSessionManagerClass, wcslen(kSessionManagerClass), &header, &name);
  IActivationFactory* factory = nullptr;
  getFactory(name, &factory);
  factory->QueryInterface(tunelight::test::standInIid("ISessionManagerStatics"),
                          reinterpret_cast<void**>(&gStatics));

  // Completes after a while: results only after completion and before Close, one handler call.
  {
    IAsyncOperationOfPointer* op = start("delay 300");
    IAsyncInfo* i = info(op);
    void* result = nullptr;
    Handler* h = new Handler;
    HRESULT early = op->GetResults(&result);
    HRESULT closeEarly = i->Close();
    HRESULT firstHandler = op->put_Completed(h);
    HRESULT secondHandler = op->put_Completed(h);
    int32_t status = waitDone(i);
    HRESULT results = op->GetResults(&result);
    if (result) static_cast<IUnknown*>(result)->Release();
    HRESULT close = i->Close();
    int32_t after = -1;
    HRESULT resultsAfter = op->GetResults(&result);
    HRESULT statusAfter = i->get_Status(&after);
    std::printf(
        "delayed: early=%08lX close-early=%08lX handler=%08lX,%08lX status=%d results=%08lX "
        "close=%08lX after-close=%08lX,%08lX calls=%ld\n",
        early, closeEarly, firstHandler, secondHandler, status, results, close, resultsAfter,
        statusAfter, h->waitCalled());
    h->Release();
    i->Release();
    op->Release();
  }
  // A handler set after completion is called at once, once.
  {
    IAsyncOperationOfPointer* op = start("delay 0");
    IAsyncInfo* i = info(op);
    waitDone(i);
    Handler* h = new Handler;
    op->put_Completed(h);
    std::printf("late handler: calls=%ld status=%d\n", h->waitCalled(), h->status);
    h->Release();
    i->Close();
    i->Release();
    op->Release();
  }
  // Never completes on its own: Cancel ends it, then it may be closed.
  {
    IAsyncOperationOfPointer* op = start("hang");
    IAsyncInfo* i = info(op);
    Handler* h = new Handler;
    op->put_Completed(h);
    Sleep(300);
    int32_t before = -1, after = -1;
    i->get_Status(&before);
    HRESULT cancel = i->Cancel();
    i->get_Status(&after);
    void* result = nullptr;
    HRESULT results = op->GetResults(&result);
    HRESULT close = i->Close();
    std::printf("hang: status=%d cancel=%08lX status=%d calls=%ld results=%08lX close=%08lX\n",
                before, cancel, after, h->waitCalled(), results, close);
    h->Release();
    i->Release();
    op->Release();
  }
  // Completes with an error, which GetResults and ErrorCode report.
  {
    IAsyncOperationOfPointer* op = start("error 80004005");
    IAsyncInfo* i = info(op);
    int32_t status = waitDone(i);
    HRESULT code = S_OK;
    i->get_ErrorCode(&code);
    void* result = nullptr;
    HRESULT results = op->GetResults(&result);
    HRESULT close = i->Close();
    std::printf("error: status=%d code=%08lX results=%08lX close=%08lX\n", status, code, results,
                close);
    i->Release();
    op->Release();
  }
  // Released without Close: the stand-in notes it.
  {
    IAsyncOperationOfPointer* op = start("delay 0");
    IAsyncInfo* i = info(op);
    waitDone(i);
    i->Release();
    op->Release();
  }
  Sleep(50);  // the completing threads let go of their references
  std::ifstream log(gDir + "fake-smtc.log");
  for (std::string line; std::getline(log, line);) std::printf("log: %s\n", line.c_str());
  std::fflush(stdout);
  return 0;
}
