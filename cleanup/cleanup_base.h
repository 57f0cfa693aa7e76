// The abstract base of the cleanup strategies that make room on the root file system before an
// upgrade is unpacked. It holds the target, measures the space available on "/" and answers
// whether the target is met; the freeing itself is the strategy's PerformCleanup.
#ifndef QX_CLEANUP_CLEANUP_BASE_H_
#define QX_CLEANUP_CLEANUP_BASE_H_

namespace qx::upgrader::cleanup {

class CleanupBase {
 public:
  // Stores the required free space in bytes; measures nothing, so FreeSpace() starts at 0.
  explicit CleanupBase(unsigned int required);
  virtual ~CleanupBase();

  CleanupBase(const CleanupBase&) = delete;
  CleanupBase& operator=(const CleanupBase&) = delete;

  // Measures, then sets needed to true when free space < required free space. Returns false,
  // leaving needed as the caller set it, when "/" could not be measured.
  virtual bool RequireCleanup(bool& needed);

  // The strategy's whole cleanup run. enough is set to true when the required free space was
  // reached and is otherwise left alone, so the caller presets it to false.
  virtual bool PerformCleanup(bool& enough) = 0;

  // The bytes available on "/" at the last successful measurement (0 before the first one).
  unsigned int FreeSpace() const { return free_space_; }
  unsigned int FreeSpaceRequired() const { return required_free_space_; }

  // Answers from the last measurement, never measures: free space >= required (equal is enough).
  bool EnoughFreeSpace() const { return free_space_ >= required_free_space_; }

  // Flushes buffers and measures the space available on "/" into FreeSpace(). On failure
  // returns false and FreeSpace() keeps its previous value.
  bool CalculateFreespace();

 private:
  unsigned int free_space_ = 0;
  const unsigned int required_free_space_;
};

}  // namespace qx::upgrader::cleanup

#endif  // QX_CLEANUP_CLEANUP_BASE_H_
