// Status codes of the code-signing services. The numbers are the Security
// framework's own, so a status printed by the daemon reads as it would on
// macOS. 0 is success; every failure is negative.
#pragma once

#include <cstdint>
#include <string>

namespace codesign {

using OSStatus = std::int32_t;

// Names are the Security framework's, kept so code above this layer reads
// the same on both systems.
inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecCSInvalidFlags = -67070;
inline constexpr OSStatus errSecCSObjectRequired = -67069;
inline constexpr OSStatus errSecCSStaticCodeNotFound = -67068;
inline constexpr OSStatus errSecCSUnsupportedGuestAttributes = -67067;
inline constexpr OSStatus errSecCSInvalidAttributeValues = -67066;
inline constexpr OSStatus errSecCSNoSuchCode = -67065;
inline constexpr OSStatus errSecCSGuestInvalid = -67063;
inline constexpr OSStatus errSecCSUnsigned = -67062;
inline constexpr OSStatus errSecCSSignatureFailed = -67061;
inline constexpr OSStatus errSecCSSignatureNotVerifiable = -67060;
inline constexpr OSStatus errSecCSSignatureUnsupported = -67059;
inline constexpr OSStatus errSecCSReqInvalid = -67052;
inline constexpr OSStatus errSecCSReqFailed = -67050;
inline constexpr OSStatus errSecCSInternalError = -67048;
inline constexpr OSStatus errSecCSNotAHost = -67046;
inline constexpr OSStatus errSecCSStaticCodeChanged = -67034;

// One line of English for `status` (the counterpart of
// SecCopyErrorMessageString); an unknown status gives "unknown status N".
std::string SecCopyErrorMessageString(OSStatus status);

}  // namespace codesign
