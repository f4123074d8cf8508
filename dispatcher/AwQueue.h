#pragma once
// The locked queue of owned buffers between the background threads: data
// blocks from the read thread, comm-event words from the status thread, and
// the dispatch log's entries.
#include "platform/Sync.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

class TIOBuffer {
public:
  virtual ~TIOBuffer() = default;
  bool InUse = false; // set by PeekBuffer; guarded by the owning queue's lock
  int32_t Size = 0;   // bytes counted into the queue's byte total
};

class TDataBuffer : public TIOBuffer {
public:
  // Throws Exception("Insufficient memory to allocate I/O buffer.").
  explicit TDataBuffer(uint32_t size);
  std::unique_ptr<uint8_t[]> Data; // zeroed
  uint32_t Used = 0;               // valid bytes
  uint32_t ReadPos = 0;            // bytes already taken
};

class TStatusBuffer : public TIOBuffer {
public:
  explicit TStatusBuffer(uint32_t eventWord) : EventWord(eventWord) {}
  uint32_t EventWord;
};

class TLogBuffer : public TIOBuffer {
public:
  TLogBuffer(uint8_t type, uint16_t subType, uint32_t time, uint32_t data, const void *bytes, uint32_t length);
  uint8_t Type;
  uint16_t SubType;
  uint32_t Time; // ms since the log clock started
  uint32_t Data;
  std::unique_ptr<uint8_t[]> Bytes; // Size bytes; none when Size is 0
};

class TIOQueue {
public:
  TIOQueue();
  ~TIOQueue();
  TIOQueue(const TIOQueue &) = delete;
  TIOQueue &operator=(const TIOQueue &) = delete;

  void PushBuffer(std::unique_ptr<TIOBuffer> buffer);
  // The first entry, marked in use and left in the queue; nullptr when the
  // queue is empty or its head is already in use.
  TIOBuffer *PeekBuffer();
  // Clears the in-use mark of a peeked entry that stays at the head.
  void ReleaseBuffer(TIOBuffer *buffer);
  // Removes the first entry; the caller owns it.
  std::unique_ptr<TIOBuffer> PopBuffer();
  // Frees every entry not in use.
  void ClearIdle();
  // Frees every entry (for queues nobody peeks at concurrently).
  void Clear();
  // Signaled at once when the queue holds an entry, else waits on its wake event.
  platform::WaitResult WaitForData(uint32_t timeoutMs);

  uint32_t BytesQueued() const;
  size_t Count() const;
  // The wake event, for waits that combine it with others.
  platform::TEvent &WakeEvent() { return wake_; }

private:
  mutable std::mutex lock_;
  std::deque<std::unique_ptr<TIOBuffer>> items_;
  uint32_t bytes_ = 0;
  platform::TEvent wake_;
};
