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
  ASDeflate deflater(format);
  std::vector<char> block(static_cast<size_t>(blockSize));
  for (;;) {
    int64_t produced = deflater.deflateStep(block.data(), blockSize, input);
    if (produced < 0 || deflater.lastStatus() < 0) return false;
    if (produced > 0 && output->append(block.data(), produced) != produced) return false;
    if (deflater.lastStatus() == Z_STREAM_END) return true;
  }
}

}  // namespace zel
