#include "codesign/sec_status.h"

namespace codesign {

std::string SecCopyErrorMessageString(OSStatus status) {
  switch (status) {
    case errSecSuccess:
      return "no error";
    case errSecCSInvalidFlags:
      return "invalid flags";
    case errSecCSObjectRequired:
      return "a required code object was not given";
    case errSecCSStaticCodeNotFound:
      return "the file cannot be opened";
    case errSecCSUnsupportedGuestAttributes:
      return "unsupported guest attributes";
    case errSecCSInvalidAttributeValues:
      return "invalid guest attribute values";
    case errSecCSNoSuchCode:
      return "no code could be found for the given guest attributes";
    case errSecCSGuestInvalid:
      return "code identity has been invalidated";
    case errSecCSUnsigned:
      return "code object is not signed at all";
    case errSecCSSignatureFailed:
      return "invalid signature (code or signature have been modified)";
    case errSecCSSignatureNotVerifiable:
      return "the code cannot be read by the verifier";
    case errSecCSSignatureUnsupported:
      return "unsupported type or version of signature";
    case errSecCSReqInvalid:
      return "invalid code requirement";
    case errSecCSReqFailed:
      return "code failed to satisfy specified code requirement(s)";
    case errSecCSInternalError:
      return "internal error in the code-signing services";
    case errSecCSNotAHost:
      return "attempt to specify guest of code that is not a host";
    case errSecCSStaticCodeChanged:
      return "the code on disk does not match what is running";
    default:
      return "unknown status " + std::to_string(status);
  }
}

}  // namespace codesign
