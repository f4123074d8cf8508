#include "dispatcher/AwQueue.h"

#include "runtime/SysUtils.h"

#include <cstring>
#include <new>

TDataBuffer::TDataBuffer(uint32_t size) {
  Data.reset(new (std::nothrow) uint8_t[size]());
  if (!Data)
    throw Exception("Insufficient memory to allocate I/O buffer.");
  Size = int32_t(size);
}

TLogBuffer::TLogBuffer(uint8_t type, uint16_t subType, uint32_t time, uint32_t data, const void *bytes, uint32_t length)
    : Type(type), SubType(subType), Time(time), Data(data) {
  if (bytes && length > 0) {
    Bytes.reset(new uint8_t[length]);
    std::memcpy(Bytes.get(), bytes, length);
    Size = int32_t(length);
  }
}

TIOQueue::TIOQueue() = default;
TIOQueue::~TIOQueue() = default;

void TIOQueue::PushBuffer(std::unique_ptr<TIOBuffer> buffer) {
  if (!buffer)
    return;
  {
    std::lock_guard<std::mutex> g(lock_);
    bytes_ += uint32_t(buffer->Size);
    items_.push_back(std::move(buffer));
  }
  wake_.Set();
}

TIOBuffer *TIOQueue::PeekBuffer() {
  std::lock_guard<std::mutex> g(lock_);
  if (items_.empty() || items_.front()->InUse)
    return nullptr;
  items_.front()->InUse = true;
  return items_.front().get();
}

void TIOQueue::ReleaseBuffer(TIOBuffer *buffer) {
  std::lock_guard<std::mutex> g(lock_);
  if (buffer)
    buffer->InUse = false;
}

std::unique_ptr<TIOBuffer> TIOQueue::PopBuffer() {
  std::lock_guard<std::mutex> g(lock_);
  if (items_.empty())
    return nullptr;
  std::unique_ptr<TIOBuffer> b = std::move(items_.front());
  items_.pop_front();
  bytes_ -= uint32_t(b->Size);
  b->InUse = false;
  return b;
}

void TIOQueue::ClearIdle() {
  std::lock_guard<std::mutex> g(lock_);
  for (auto it = items_.begin(); it != items_.end();) {
    if ((*it)->InUse) {
      ++it;
    } else {
      bytes_ -= uint32_t((*it)->Size);
      it = items_.erase(it);
    }
  }
}

void TIOQueue::Clear() {
  std::lock_guard<std::mutex> g(lock_);
  items_.clear();
  bytes_ = 0;
}

platform::WaitResult TIOQueue::WaitForData(uint32_t timeoutMs) {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (!items_.empty())
      return platform::WaitResult::Signaled;
  }
  return wake_.Wait(timeoutMs);
}

uint32_t TIOQueue::BytesQueued() const {
  std::lock_guard<std::mutex> g(lock_);
  return bytes_;
}

size_t TIOQueue::Count() const {
  std::lock_guard<std::mutex> g(lock_);
  return items_.size();
}
