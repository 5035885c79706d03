// Record pipe: the bounded queue of finished records between the thread
// that builds them (put) and the LISS server thread (queuedBytes, take).
//
// A real pipe inside the process, each record framed by its 32-bit length
// in host order. One mutex covers every operation, pipe reads inside put
// included, so queuedBytes and the pipe content always agree. The content
// never passes 0.8 x capacity while the pipe's buffer is at least capacity,
// so a write under the lock never waits for the reader. When the queue is
// full the oldest records are dropped.
#pragma once

#include <cstdint>
#include <mutex>

class RecordPipe {
  public:
    // Creates the pipe with a buffer of at least capacity bytes; when that is
    // not possible the pipe queues nothing (and says so in the log).
    explicit RecordPipe(int32_t capacity);
    ~RecordPipe();
    RecordPipe(const RecordPipe&) = delete;
    RecordPipe& operator=(const RecordPipe&) = delete;

    // Queues one record, dropping the oldest as needed; a record larger than
    // 0.8 x capacity - 4 bytes is refused with a log line.
    void put(const uint8_t* record, int32_t length);
    // Delivers the oldest record, cut to size; 0 when the queue is empty.
    int32_t take(uint8_t* buffer, int32_t size);
    int32_t queuedBytes();
    bool isOpen() const { return readFd >= 0; }

  private:
    void dropOldest();
    bool readExact(void* dst, size_t n);
    bool writeExact(const void* src, size_t n);

    int32_t capacity;
    int32_t queued = 0;
    int readFd = -1;
    int writeFd = -1;
    std::mutex lock;
};
