#pragma once

// Our own ABI declarations of the Windows Runtime interfaces the media-session backend calls
// (Windows.Media.Control and Windows.Storage.Streams). mingw-w64 has no header for the former
// and only a part of the latter. Each interface lists every method up to the last one we call,
// in vtable order; WinRT interfaces start their own methods after the six IInspectable slots.

#include <inspectable.h>
#include <windows.h>
#include <winstring.h>

#include <cstdint>

namespace tunelight::winrt {

// {00000036-0000-0000-C000-000000000046}; mingw's import libraries do not define it.
constexpr IID kIID_IAsyncInfo = {
    0x00000036, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

enum AsyncStatus : int32_t {
  kAsyncStarted = 0,
  kAsyncCompleted = 1,
  kAsyncCanceled = 2,
  kAsyncError = 3
};

struct IAsyncInfo : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Id(UINT32* id) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Status(int32_t* status) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_ErrorCode(HRESULT* code) = 0;
  virtual HRESULT STDMETHODCALLTYPE Cancel() = 0;
  virtual HRESULT STDMETHODCALLTYPE Close() = 0;
};

// IAsyncOperation<T>: the result is a pointer to T's default interface.
struct IAsyncOperationOfPointer : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE put_Completed(IUnknown* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Completed(IUnknown** handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetResults(void** results) = 0;
};

// IAsyncOperationWithProgress<T, P> with a pointer result.
struct IAsyncOperationWithProgressOfPointer : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE put_Progress(IUnknown* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Progress(IUnknown** handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Completed(IUnknown* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Completed(IUnknown** handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetResults(void** results) = 0;
};

// IVectorView<T> with pointer elements.
struct IVectorViewOfPointer : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE GetAt(UINT32 index, void** item) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Size(UINT32* size) = 0;
};

struct TimeSpan {
  INT64 Duration;  // 100 ns ticks
};
struct DateTime {
  INT64 UniversalTime;  // 100 ns ticks since 1601-01-01 UTC
};

// ---- Windows.Storage.Streams ----

struct IBuffer : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Capacity(UINT32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Length(UINT32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE put_Length(UINT32 value) = 0;
};

struct IBufferFactory : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE Create(UINT32 capacity, IBuffer** value) = 0;
};

// IUnknown-based.
struct IBufferByteAccess : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Buffer(BYTE** value) = 0;
};

struct IInputStream : IInspectable {
  // options: InputStreamOptions flags (None = 0).
  virtual HRESULT STDMETHODCALLTYPE ReadAsync(IBuffer* buffer, UINT32 count, UINT32 options,
                                              IAsyncOperationWithProgressOfPointer** op) = 0;
};

struct IRandomAccessStream : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Size(UINT64* value) = 0;
};

struct IContentTypeProvider : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_ContentType(HSTRING* value) = 0;
};

struct IRandomAccessStreamReference : IInspectable {
  // Result: IRandomAccessStreamWithContentType, which has no methods of its own.
  virtual HRESULT STDMETHODCALLTYPE OpenReadAsync(IAsyncOperationOfPointer** op) = 0;
};

// ---- Windows.Media.Control ----

enum SessionPlaybackStatus : int32_t {
  kSessionClosed = 0,
  kSessionOpened = 1,
  kSessionChanging = 2,
  kSessionStopped = 3,
  kSessionPlaying = 4,
  kSessionPaused = 5
};

struct ISessionMediaProperties : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Title(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Subtitle(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AlbumArtist(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Artist(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AlbumTitle(HSTRING* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_TrackNumber(INT32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Genres(IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_AlbumTrackCount(INT32* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PlaybackType(IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Thumbnail(IRandomAccessStreamReference** value) = 0;
};

struct ISessionTimelineProperties : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_StartTime(TimeSpan* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_EndTime(TimeSpan* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_MinSeekTime(TimeSpan* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_MaxSeekTime(TimeSpan* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Position(TimeSpan* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_LastUpdatedTime(DateTime* value) = 0;
};

struct ISessionPlaybackInfo : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Controls(IInspectable** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PlaybackStatus(int32_t* value) = 0;
};

struct ISession : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_SourceAppUserModelId(HSTRING* value) = 0;
  // Result: ISessionMediaProperties.
  virtual HRESULT STDMETHODCALLTYPE TryGetMediaPropertiesAsync(IAsyncOperationOfPointer** op) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTimelineProperties(ISessionTimelineProperties** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPlaybackInfo(ISessionPlaybackInfo** value) = 0;
};

struct ISessionManager : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE GetCurrentSession(ISession** value) = 0;
  // Result: IVectorView<ISession>.
  virtual HRESULT STDMETHODCALLTYPE GetSessions(IVectorViewOfPointer** value) = 0;
};

struct ISessionManagerStatics : IInspectable {
  // Result: ISessionManager.
  virtual HRESULT STDMETHODCALLTYPE RequestAsync(IAsyncOperationOfPointer** op) = 0;
};

constexpr const wchar_t* kSessionManagerClass =
    L"Windows.Media.Control.GlobalSystemMediaTransportControlsSessionManager";
constexpr const wchar_t* kBufferClass = L"Windows.Storage.Streams.Buffer";

// Interface ids. The parameterized ones (asynchronous operations and the session list) are
// derived from their type signatures; they are listed so that results can be checked.
constexpr IID kIID_ISessionManagerStatics = {
    0x2050c4ee, 0x11a0, 0x57de, {0xae, 0xd7, 0xc9, 0x7c, 0x70, 0x33, 0x82, 0x45}};
constexpr IID kIID_ISessionManager = {
    0xcace8eac, 0xe86e, 0x504a, {0xab, 0x31, 0x5f, 0xf8, 0xff, 0x1b, 0xce, 0x49}};
constexpr IID kIID_ISession = {
    0x7148c835, 0x9b14, 0x5ae2, {0xab, 0x85, 0xdc, 0x9b, 0x1c, 0x14, 0xe1, 0xa8}};
constexpr IID kIID_ISessionMediaProperties = {
    0x68856cf6, 0xadb4, 0x54b2, {0xac, 0x16, 0x05, 0x83, 0x79, 0x07, 0xac, 0xb6}};
constexpr IID kIID_ISessionTimelineProperties = {
    0xede34136, 0x6f25, 0x588d, {0x8e, 0xcf, 0xea, 0x5b, 0x67, 0x35, 0xaa, 0xa5}};
constexpr IID kIID_ISessionPlaybackInfo = {
    0x94b4b6cf, 0xe8ba, 0x51ad, {0x87, 0xa7, 0xc1, 0x0a, 0xde, 0x10, 0x61, 0x27}};
constexpr IID kIID_IAsyncOperation_SessionManager = {
    0x3eec115e, 0x7346, 0x5c27, {0x8c, 0x5f, 0xda, 0x78, 0x51, 0x4a, 0x27, 0x7b}};
constexpr IID kIID_IAsyncOperation_SessionMediaProperties = {
    0xb185e6f3, 0xe0d8, 0x51cb, {0x91, 0x3f, 0xc9, 0x8d, 0x48, 0xc9, 0x3c, 0x46}};
constexpr IID kIID_IVectorView_Session = {
    0x9b2672da, 0x5088, 0x5a1d, {0xac, 0xd9, 0xa3, 0xfc, 0x5e, 0xf1, 0xcf, 0xa4}};

constexpr IID kIID_IRandomAccessStreamReference = {
    0x33ee3134, 0x1dd6, 0x4e3a, {0x80, 0x67, 0xd1, 0xc1, 0x62, 0xe8, 0x64, 0x2b}};
constexpr IID kIID_IRandomAccessStreamWithContentType = {
    0xcc254827, 0x4b3d, 0x438f, {0x92, 0x32, 0x10, 0xc7, 0x6b, 0xc7, 0xe0, 0x38}};
constexpr IID kIID_IRandomAccessStream = {
    0x905a0fe1, 0xbc53, 0x11df, {0x8c, 0x49, 0x00, 0x1e, 0x4f, 0xc6, 0x86, 0xda}};
constexpr IID kIID_IContentTypeProvider = {
    0x97d098a5, 0x3b99, 0x4de9, {0x88, 0xa5, 0xe1, 0x1d, 0x2f, 0x50, 0xc7, 0x95}};
constexpr IID kIID_IInputStream = {
    0x905a0fe2, 0xbc53, 0x11df, {0x8c, 0x49, 0x00, 0x1e, 0x4f, 0xc6, 0x86, 0xda}};
constexpr IID kIID_IBuffer = {
    0x905a0fe0, 0xbc53, 0x11df, {0x8c, 0x49, 0x00, 0x1e, 0x4f, 0xc6, 0x86, 0xda}};
constexpr IID kIID_IBufferFactory = {
    0x71af914d, 0xc10f, 0x484b, {0xbc, 0x50, 0x14, 0xbc, 0x62, 0x3b, 0x3a, 0x27}};
constexpr IID kIID_IBufferByteAccess = {
    0x905a0fef, 0xbc53, 0x11df, {0x8c, 0x49, 0x00, 0x1e, 0x4f, 0xc6, 0x86, 0xda}};
constexpr IID kIID_IAsyncOperation_StreamWithContentType = {
    0xc4a57c5e, 0x32b0, 0x55b3, {0xad, 0x13, 0xce, 0x1c, 0x23, 0x04, 0x1e, 0xd6}};
constexpr IID kIID_IAsyncOperationWithProgress_BufferUInt32 = {
    0xd26b2819, 0x897f, 0x5c7d, {0x84, 0xd6, 0x56, 0xd7, 0x96, 0x56, 0x14, 0x31}};

}  // namespace tunelight::winrt
