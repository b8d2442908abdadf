// SPDX-License-Identifier: MIT
// CFrameQueue: a fixed-size ring of bytes holding MCU frames back to back, oldest first.
//
// AddFrame checks a frame (checksum and tail) before storing it and drops the oldest frames
// when room is short, so the ring keeps the newest. GetFrame takes the frame at the front
// through the search FrameFilter, which drops whatever does not start a valid frame and so
// resynchronises on the next frame boundary. The queue locks only while QueueInit replaces
// its buffer; every other call must be serialised by the owner (DataPackList does).
#ifndef ACK_FRAMEQUEUE_H
#define ACK_FRAMEQUEUE_H

#include <semaphore.h>

#include "common/ComFrame.h"
#include "common/FrameRules.h"
#include "common/MutexLock.h"

namespace mcucom {

const int FRAME_QUEUE_DEFAULT_SIZE = 8192;
const int FRAME_QUEUE_MIN_SIZE = 50;

}  // namespace mcucom

class CFrameQueue {
  public:
    CFrameQueue();
    ~CFrameQueue();

    CFrameQueue(const CFrameQueue&) = delete;
    CFrameQueue& operator=(const CFrameQueue&) = delete;

    int QueueInit(int bufSize);
    int checkValidFrame(char* frame, int frameLen);
    int AddFrame(char* frame, int frameLen);
    int GetFrame(char* out);
    int doGetFrame(char* out, bool copy);
    int Queuecpy(char* out, unsigned short nbytes, bool copy);
    int FrameFilter();
    int QueueXorCheckSum(int start, int nbytes);
    // Kept for the programs that call it, as the fixed interface has it: a lookup by command
    // that finds nothing and returns 0 (the packet list does its own lookups).
    int GetFrameByCmd(__ComFrameData* frame, int mode);

    int GetFrameNum() const { return m_frameCount; }
    int GetQueueSize() const { return m_size; }
    int GetDataLen() const { return m_size - m_freeLen; }
    int GetReadPos() const { return m_readPos; }
    int GetWritePos() const { return m_writePos; }
    int GetFreeLen() const { return m_freeLen; }
    // Why the search dropped bytes, counted over the queue's life.
    const mcucom::FrameDropStats& GetDropStats() const { return m_drops; }

  private:
    class RingBytes;

    void ResetCounters();
    void DropFront(int count);
    void CopyIn(const char* src, int count);

    unsigned char* m_buf;
    int m_readPos;
    int m_writePos;
    int m_size;
    int m_freeLen;
    int m_frameCount;
    sem_t m_sem;  // nothing posts or waits on it; kept so that the record keeps its layout
    MutexLock m_mutex;
    mcucom::FrameDropStats m_drops;
};

#endif  // ACK_FRAMEQUEUE_H
