#pragma once
// One device read made on a thread of its own while the caller works on the
// bytes it has. A read from start to end (the search) asks for the window
// after the one it is looking at; the device, or the kernel's copy out of
// its cache, then works beside the classifier instead of in turn with it.
//
// The device is read by one thread at a time: the caller takes or discards
// the read ahead before it reads the device itself.
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "source/device.h"
#include "source/page_aligned.h"

namespace tarnwick {

class ReadAhead {
 public:
  // Reads of at most bufferBytes.
  explicit ReadAhead(size_t bufferBytes);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Starts reading count bytes at offset of device (count at most the
  // buffer's size). A read started before and not taken is discarded.
  void Start(SourceDevice& device, uint64_t offset, size_t count);
  // Whether the read started, and not yet taken or discarded, is this one.
  bool Holds(const SourceDevice& device, uint64_t offset, size_t count) const;
  // Waits for the read started and returns what ReadAt returned; its bytes
  // change places with those of into, a buffer of at least count bytes
  // made with the same size as this one's.
  int64_t Take(PageAlignedBytes& into);
  // Waits for a read in progress and forgets it. The device may then be
  // read, closed or changed.
  void Discard();

 private:
  void Loop();
  // Waits until the thread has no read to make (the caller), or until it
  // has one or is to end (the thread). Each first spins a while: a handover
  // through the scheduler costs tens of microseconds on a virtual machine,
  // longer than the kernel takes to copy a window out of its cache, and the
  // two sides hand over every few microseconds while the search runs.
  void WaitUntilDone();
  bool WaitForWork();

  PageAlignedBytes bytes_;
  size_t capacity_;
  std::thread thread_;  // made at the first read
  std::mutex mutex_;
  std::condition_variable cv_;
  // The read asked for: written by the caller while asked_ is false, read
  // by the thread once it is true.
  SourceDevice* device_ = nullptr;
  uint64_t offset_ = 0;
  size_t count_ = 0;
  int64_t result_ = 0;  // written by the thread before asked_ turns false
  std::atomic<bool> asked_{false};  // a read is waiting for the thread or in progress
  std::atomic<bool> quit_{false};
  // Which side sleeps on cv_ (the other then wakes it).
  std::atomic<bool> threadSleeps_{false};
  std::atomic<bool> callerSleeps_{false};
  // The caller's own: a read started and not yet taken or discarded.
  bool pending_ = false;
};

}  // namespace tarnwick
