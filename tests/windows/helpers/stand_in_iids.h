#pragma once

// The interface ids the stand-in runtime class answers to, kept apart from the backend's own
// list (agent/sources/winrt_iids.h) so that a wrong id there cannot be mirrored here. A test
// checks every backend id against this table, and every id here that has a type signature
// against the id computed from that signature. Names are the backend's.

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tunelight::test {

struct StandInIid {
  const char* name;
  const char* iid;        // lower case, without braces
  const char* signature;  // Windows Runtime type signature of a generic instance; "" otherwise
};

// clang-format off
inline constexpr StandInIid kStandInIids[] = {
    // System interfaces the stand-in needs besides the backend's.
    {"IInspectable", "af86e2e0-b12d-4c6a-9c5a-d7aa65101e90", ""},
    {"IActivationFactory", "00000035-0000-0000-c000-000000000046", ""},
    {"IAgileObject", "94ea2b94-e9cc-49e0-c0ff-ee64ca8f5b90", ""},

    {"IAsyncInfo", "00000036-0000-0000-c000-000000000046", ""},
    {"ISessionManagerStatics", "2050c4ee-11a0-57de-aed7-c97c70338245", ""},
    {"ISessionManager", "cace8eac-e86e-504a-ab31-5ff8ff1bce49", ""},
    {"ISession", "7148c835-9b14-5ae2-ab85-dc9b1c14e1a8", ""},
    {"ISessionMediaProperties", "68856cf6-adb4-54b2-ac16-05837907acb6", ""},
    {"ISessionTimelineProperties", "ede34136-6f25-588d-8ecf-ea5b6735aaa5", ""},
    {"ISessionPlaybackInfo", "94b4b6cf-e8ba-51ad-87a7-c10ade106127", ""},
    {"ISessionPlaybackControls", "6501a3e6-bc7a-503a-bb1b-68f158f3fb03", ""},
    {"IRandomAccessStreamReference", "33ee3134-1dd6-4e3a-8067-d1c162e8642b", ""},
    {"IRandomAccessStreamWithContentType", "cc254827-4b3d-438f-9232-10c76bc7e038", ""},
    {"IRandomAccessStream", "905a0fe1-bc53-11df-8c49-001e4fc686da", ""},
    {"IContentTypeProvider", "97d098a5-3b99-4de9-88a5-e11d2f50c795", ""},
    {"IInputStream", "905a0fe2-bc53-11df-8c49-001e4fc686da", ""},
    {"IBuffer", "905a0fe0-bc53-11df-8c49-001e4fc686da", ""},
    {"IBufferFactory", "71af914d-c10f-484b-bc50-14bc623b3a27", ""},
    {"IBufferByteAccess", "905a0fef-bc53-11df-8c49-001e4fc686da", ""},

    {"IAsyncOperation_SessionManager", "3eec115e-7346-5c27-8c5f-da78514a277b",
     "pinterface({9fc2b0bb-e446-44e2-aa61-9cab8f636af2};"
     "rc(Windows.Media.Control.GlobalSystemMediaTransportControlsSessionManager;"
     "{cace8eac-e86e-504a-ab31-5ff8ff1bce49}))"},
    {"IAsyncOperation_SessionMediaProperties", "b185e6f3-e0d8-51cb-913f-c98d48c93c46",
     "pinterface({9fc2b0bb-e446-44e2-aa61-9cab8f636af2};"
     "rc(Windows.Media.Control.GlobalSystemMediaTransportControlsSessionMediaProperties;"
     "{68856cf6-adb4-54b2-ac16-05837907acb6}))"},
    {"IVectorView_Session", "9b2672da-5088-5a1d-acd9-a3fc5ef1cfa4",
     "pinterface({bbe1fa4c-b0e3-4583-baef-1f1b2e483e56};"
     "rc(Windows.Media.Control.GlobalSystemMediaTransportControlsSession;"
     "{7148c835-9b14-5ae2-ab85-dc9b1c14e1a8}))"},
    {"IAsyncOperation_StreamWithContentType", "c4a57c5e-32b0-55b3-ad13-ce1c23041ed6",
     "pinterface({9fc2b0bb-e446-44e2-aa61-9cab8f636af2};{cc254827-4b3d-438f-9232-10c76bc7e038})"},
    {"IAsyncOperationWithProgress_BufferUInt32", "d26b2819-897f-5c7d-84d6-56d796561431",
     "pinterface({b5d036d7-e297-498f-ba60-0289e76e23dd};{905a0fe0-bc53-11df-8c49-001e4fc686da};"
     "u4)"},
    {"IAsyncOperation_Boolean", "cdb5efb3-5788-509d-9be1-71ccb8a3362a",
     "pinterface({9fc2b0bb-e446-44e2-aa61-9cab8f636af2};b1)"},
};
// clang-format on

#ifdef _WIN32
// The IID of a name in the table; a name missing from it ends the program.
inline IID standInIid(const char* name) {
  for (const StandInIid& e : kStandInIids) {
    if (std::strcmp(e.name, name) != 0) continue;
    unsigned long d1 = 0;
    unsigned d2 = 0, d3 = 0, b[8] = {};
    std::sscanf(e.iid, "%8lx-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &d1, &d2, &d3, &b[0], &b[1], &b[2],
                &b[3], &b[4], &b[5], &b[6], &b[7]);
    IID id{static_cast<unsigned long>(d1),
           static_cast<unsigned short>(d2),
           static_cast<unsigned short>(d3),
           {}};
    for (int i = 0; i < 8; ++i) id.Data4[i] = static_cast<unsigned char>(b[i]);
    return id;
  }
  std::abort();
}
#endif

}  // namespace tunelight::test
