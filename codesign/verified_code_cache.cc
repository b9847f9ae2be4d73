#include "codesign/verified_code_cache.h"

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <algorithm>

namespace codesign {
namespace {

bool sameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool sameFile(const VerifiedCodeCache::Entry& a, const VerifiedCodeCache::Entry& b) {
  return a.device == b.device && a.inode == b.inode && a.size == b.size &&
         sameTime(a.modified, b.modified) && sameTime(a.changed, b.changed);
}

bool sameEntry(const VerifiedCodeCache::Entry& a, const VerifiedCodeCache::Entry& b) {
  return sameFile(a, b) && a.signedLength == b.signedLength && a.hash == b.hash;
}

}  // namespace

std::optional<VerifiedCodeCache::Entry> VerifiedCodeCache::describe(int fd,
                                                                    std::uint64_t signedLength,
                                                                    const Sha256& hash) {
  struct stat st {};
  struct statfs fs {};
  if (::fstat(fd, &st) != 0 || ::fstatfs(fd, &fs) != 0 ||
      static_cast<unsigned long>(fs.f_type) == TMPFS_MAGIC) {
    return std::nullopt;
  }
  Entry entry;
  entry.device = st.st_dev;
  entry.inode = st.st_ino;
  entry.size = st.st_size;
  entry.modified = st.st_mtim;
  entry.changed = st.st_ctim;
  entry.signedLength = signedLength;
  entry.hash = hash;
  return entry;
}

bool VerifiedCodeCache::admits(const Verdict& verdict, const Requirement& requirement,
                               std::string_view identifier, std::time_t now) {
  for (const RequirementClause& clause : requirement.clauses) {
    switch (clause.kind) {
      case RequirementClause::Kind::kAnchorAppleGeneric:
        if (!verdict.anchorValidity || now < verdict.anchorValidity->first ||
            now > verdict.anchorValidity->second) {
          return false;
        }
        break;
      case RequirementClause::Kind::kIdentifier:
        if (identifier != clause.value) return false;
        break;
      case RequirementClause::Kind::kLeafSubjectOU:
        // Exactly one OU, as the whole check demands.
        if (!verdict.leafUnits || verdict.leafUnits->size() != 1 ||
            verdict.leafUnits->front() != clause.value) {
          return false;
        }
        break;
    }
  }
  return true;
}

std::optional<VerifiedCodeCache::Verdict> VerifiedCodeCache::find(const Entry& entry) const {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < used_; ++i) {
    if (sameEntry(entries_[i], entry)) return verdicts_[i];
  }
  return std::nullopt;
}

void VerifiedCodeCache::remember(const Entry& entry, int fd, const timespec& hashStarted,
                                 Verdict verdict) {
  if (entry.changed.tv_sec > hashStarted.tv_sec - kSettleSeconds) return;
  const std::optional<Entry> now = describe(fd, entry.signedLength, entry.hash);
  if (!now || !sameFile(*now, entry)) return;
  const std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < used_; ++i) {
    if (sameEntry(entries_[i], entry)) {
      verdicts_[i] = std::move(verdict);  // what the latest full check found
      return;
    }
  }
  entries_[next_] = entry;
  verdicts_[next_] = std::move(verdict);
  next_ = (next_ + 1) % kCapacity;
  used_ = std::min(used_ + 1, kCapacity);
}

}  // namespace codesign
