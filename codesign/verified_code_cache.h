// Executables whose signed bytes are known to hash to what their signature
// says. A signature check hashes the whole file, megabytes for the client;
// for a file only root can change (the guest-code checks), this lets the next
// admission of the same unchanged file skip the hashing, much as the macOS
// kernel keeps the validated signature of an executable with its vnode.
//
// With the file it keeps the verdict on what in its bytes cannot change while
// they do not: the signature verified with the signer's key (an
// elliptic-curve operation), the signer's chain verified to the trust anchor
// its owner checks against (one more), and the signer's OUs. What can change
// is checked on every admission all the same: the requirement, clause by
// clause, and the chain's validity at this moment (the window in which every
// certificate of the verified chain is valid).
//
// A file is known by its device, inode, size and modification and change
// times. Every write moves the change time on, and no one but root can set
// it. But change times tick coarsely (a clock tick; a whole second on some
// filesystems), so a write just after the hashing could leave them as they
// were: a file changed less than kSettleSeconds before its hashing began is never
// remembered, and any later write then shows as a later change time.
//
// Not so on tmpfs, which keeps no track of writes through a shared mapping:
// whoever could once write a file there can keep a page of it pinned
// writable (an io_uring buffer) through a later chown and chmod, and write
// it with no change of time. Files there are hashed on every admission.
//
// Thread-safe. Holds at most kCapacity files, dropping the oldest.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codesign/requirement.h"
#include "codesign/signature_format.h"

namespace codesign {

class VerifiedCodeCache {
 public:
  static constexpr std::size_t kCapacity = 8;
  static constexpr std::time_t kSettleSeconds = 2;

  // One file as it stands, with the signed length and hash its signature
  // claims.
  struct Entry {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    timespec modified{};
    timespec changed{};
    std::uint64_t signedLength = 0;
    Sha256 hash{};
  };

  // What a full check found out about an entry's bytes, beyond that they hash
  // to its hash and carry a signature that verifies.
  struct Verdict {
    // The leaf's OUs; nullopt when one is not text.
    std::optional<std::vector<std::string>> leafUnits;
    // Set when the chain verified to the anchor and the leaf may sign code:
    // the seconds (epoch) from which and until which every certificate of
    // that chain is valid, both included.
    std::optional<std::pair<std::time_t, std::time_t>> anchorValidity;
  };

  // Whether `requirement` holds for bytes with this verdict, whose manifest
  // names `identifier`, at `now`: each clause judged anew, the anchor's only
  // within the chain's validity window. False also when a clause cannot be
  // judged from the verdict (the whole check then decides). Pure.
  static bool admits(const Verdict& verdict, const Requirement& requirement,
                     std::string_view identifier, std::time_t now);

  // The entry for the open file `fd`; nullopt when it cannot be stat'ed or
  // lies on tmpfs.
  static std::optional<Entry> describe(int fd, std::uint64_t signedLength, const Sha256& hash);

  // The verdict on `entry` when it was remembered: the file is unchanged
  // since its signed bytes were found to hash to `entry.hash`; nullopt when
  // it was not.
  std::optional<Verdict> find(const Entry& entry) const;

  // Remembers `entry`, taken after `hashStarted` (realtime clock), whose
  // bytes were then hashed and matched; unless the file `fd` changed since
  // `entry` was taken, or less than kSettleSeconds before `hashStarted`.
  void remember(const Entry& entry, int fd, const timespec& hashStarted, Verdict verdict = {});

 private:
  mutable std::mutex mutex_;
  std::array<Entry, kCapacity> entries_{};
  std::array<Verdict, kCapacity> verdicts_{};
  std::size_t used_ = 0;
  std::size_t next_ = 0;
};

}  // namespace codesign
