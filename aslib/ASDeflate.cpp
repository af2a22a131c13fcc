#include "aslib/ASDeflate.h"

#include <zlib.h>

#include <vector>

#include "aslib/ASInflate.h"

namespace zel {

struct ASDeflate::Stream {
  z_stream z{};
  bool ready = false;
  std::unique_ptr<unsigned char[]> scratch{new unsigned char[16384]};
};

ASDeflate::ASDeflate(int format) : stream_(new Stream) {
  stream_->ready =
      deflateInit2(&stream_->z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, WindowBitsOf(format), 8, Z_DEFAULT_STRATEGY) == Z_OK;
  if (!stream_->ready) lastStatus_ = Z_STREAM_ERROR;
}

ASDeflate::~ASDeflate() {
  if (stream_->ready) deflateEnd(&stream_->z);
}

bool ASDeflate::reset() {
  if (!stream_->ready) return false;
  lastStatus_ = deflateReset(&stream_->z);
  return lastStatus_ == Z_OK;
}

int64_t ASDeflate::deflateStep(void* output, int64_t capacity, ASVariableBuffer* input) {
  if (!output || capacity <= 0 || !input || !stream_->ready) return -1;
  z_stream& z = stream_->z;
  z.next_out = static_cast<Bytef*>(output);
  z.avail_out = uInt(capacity);
  if (input->unread() == 0) {
    z.next_in = nullptr;
    z.avail_in = 0;
    lastStatus_ = deflate(&z, Z_FINISH);
  } else {
    while (input->unread() > 0 && z.avail_out > 0) {
      int64_t got = input->read(stream_->scratch.get(), 16384);
      if (got <= 0) return -1;  // unread bytes that cannot be read: the stream would have a gap
      z.next_in = stream_->scratch.get();
      z.avail_in = uInt(got);
      lastStatus_ = deflate(&z, Z_NO_FLUSH);
      if (lastStatus_ == Z_STREAM_ERROR) return -1;
      if (z.avail_in > 0) {
        input->setReadPosition(input->readPosition() - z.avail_in);
        break;
      }
    }
  }
  if (lastStatus_ == Z_STREAM_ERROR) return -1;
  return capacity - int64_t(z.avail_out);
}

bool DeflateBuffer(int format, ASVariableBuffer* input, ASVariableBuffer* output, int64_t blockSize) {
  if (!input || !output || blockSize <= 0) return false;
  // Setting zlib up costs more than compressing a small document, and the memory it hands back
  // to the system each time comes back as page faults: keep one per thread and format.
  thread_local std::unique_ptr<ASDeflate> deflaters[3];
  thread_local std::unique_ptr<char[]> block;
  thread_local int64_t blockCapacity = 0;
  std::unique_ptr<ASDeflate>& deflater = deflaters[format == 1 ? 0 : format == 3 ? 1 : 2];
  if (!deflater || !deflater->reset()) deflater = std::make_unique<ASDeflate>(format);
  if (blockCapacity < blockSize) {
    block.reset(new char[size_t(blockSize)]);  // never read before zlib writes it: left unset
    blockCapacity = blockSize;
  }
  for (;;) {
    int64_t produced = deflater->deflateStep(block.get(), blockSize, input);
    if (produced < 0 || deflater->lastStatus() < 0) return false;
    if (produced > 0 && output->append(block.get(), produced) != produced) return false;
    if (deflater->lastStatus() == Z_STREAM_END) return true;
  }
}

}  // namespace zel
