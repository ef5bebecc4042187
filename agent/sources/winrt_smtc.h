#pragma once

// Our own ABI declarations of the Windows Runtime interfaces the media-session backend calls
// (Windows.Media.Control and Windows.Storage.Streams). mingw-w64 has no header for the former
// and only a part of the latter. Each interface lists every method up to the last one we call,
// in vtable order; WinRT interfaces start their own methods after the six IInspectable slots.

#include <inspectable.h>
#include <windows.h>
#include <winstring.h>

#include <cstdint>

#include "agent/sources/winrt_iids.h"

namespace tunelight::winrt {

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

// IAsyncOperation<Boolean>: the result is one byte, 0 or 1.
struct IAsyncOperationOfBoolean : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE put_Completed(IUnknown* handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_Completed(IUnknown** handler) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetResults(unsigned char* results) = 0;
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

// Which actions the session's app takes now; each value is one byte, 0 or 1.
struct ISessionPlaybackControls : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_IsPlayEnabled(unsigned char* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsPauseEnabled(unsigned char* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsStopEnabled(unsigned char* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsRecordEnabled(unsigned char* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsFastForwardEnabled(unsigned char* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsRewindEnabled(unsigned char* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsNextEnabled(unsigned char* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsPreviousEnabled(unsigned char* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsChannelUpEnabled(unsigned char* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsChannelDownEnabled(unsigned char* value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_IsPlayPauseToggleEnabled(unsigned char* value) = 0;
};

struct ISessionPlaybackInfo : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_Controls(ISessionPlaybackControls** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE get_PlaybackStatus(int32_t* value) = 0;
};

struct ISession : IInspectable {
  virtual HRESULT STDMETHODCALLTYPE get_SourceAppUserModelId(HSTRING* value) = 0;
  // Result: ISessionMediaProperties.
  virtual HRESULT STDMETHODCALLTYPE TryGetMediaPropertiesAsync(IAsyncOperationOfPointer** op) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetTimelineProperties(ISessionTimelineProperties** value) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPlaybackInfo(ISessionPlaybackInfo** value) = 0;
  // The actions; each result says whether the app took it.
  virtual HRESULT STDMETHODCALLTYPE TryPlayAsync(IAsyncOperationOfBoolean** op) = 0;
  virtual HRESULT STDMETHODCALLTYPE TryPauseAsync(IAsyncOperationOfBoolean** op) = 0;
  virtual HRESULT STDMETHODCALLTYPE TryStopAsync(IAsyncOperationOfBoolean** op) = 0;
  virtual HRESULT STDMETHODCALLTYPE TryRecordAsync(IAsyncOperationOfBoolean** op) = 0;
  virtual HRESULT STDMETHODCALLTYPE TryFastForwardAsync(IAsyncOperationOfBoolean** op) = 0;
  virtual HRESULT STDMETHODCALLTYPE TryRewindAsync(IAsyncOperationOfBoolean** op) = 0;
  virtual HRESULT STDMETHODCALLTYPE TrySkipNextAsync(IAsyncOperationOfBoolean** op) = 0;
  virtual HRESULT STDMETHODCALLTYPE TrySkipPreviousAsync(IAsyncOperationOfBoolean** op) = 0;
  virtual HRESULT STDMETHODCALLTYPE TryChangeChannelUpAsync(IAsyncOperationOfBoolean** op) = 0;
  virtual HRESULT STDMETHODCALLTYPE TryChangeChannelDownAsync(IAsyncOperationOfBoolean** op) = 0;
  virtual HRESULT STDMETHODCALLTYPE TryTogglePlayPauseAsync(IAsyncOperationOfBoolean** op) = 0;
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

// Interface ids (kIID_<name>), from the one list in winrt_iids.h; mingw's import libraries define
// none of them. A stand-in that must not mirror them defines TUNELIGHT_WINRT_NO_IIDS.
#ifndef TUNELIGHT_WINRT_NO_IIDS
#define TUNELIGHT_WINRT_IID(name, d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7) \
  constexpr IID kIID_##name = {d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}};
TUNELIGHT_WINRT_IIDS(TUNELIGHT_WINRT_IID)
#undef TUNELIGHT_WINRT_IID
#endif

}  // namespace tunelight::winrt
