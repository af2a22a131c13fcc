#include "aslib/ASInflate.h"

#include <zlib.h>

namespace zel {

int WindowBitsOf(int format) { return format == 1 ? 31 : format == 3 ? -15 : 15; }

struct ASInflate::Stream {
  z_stream z{};
  bool ready = false;
  bool finished = false;
  std::unique_ptr<unsigned char[]> window{new unsigned char[65536]};
};

ASInflate::ASInflate(int format) : stream_(new Stream) {
  stream_->ready = inflateInit2(&stream_->z, WindowBitsOf(format)) == Z_OK;
}

ASInflate::~ASInflate() {
  if (stream_->ready) inflateEnd(&stream_->z);
}

bool ASInflate::finished() const { return stream_->finished; }

bool ASInflate::inflateInto(const void* input, int64_t n, ASVariableBuffer* buffer) {
  if (!input || n <= 0 || !buffer || !stream_->ready) return false;
  z_stream& z = stream_->z;
  z.next_in = static_cast<Bytef*>(const_cast<void*>(input));
  z.avail_in = uInt(n);
  constexpr uInt kWindow = 65536;
  do {
    z.next_out = stream_->window.get();
    z.avail_out = kWindow;
    int status = inflate(&z, Z_NO_FLUSH);
    if (status == Z_NEED_DICT || status == Z_STREAM_ERROR || status == Z_DATA_ERROR || status == Z_MEM_ERROR)
      return false;
    uInt produced = kWindow - z.avail_out;
    if (produced > 0 && buffer->append(stream_->window.get(), produced) != int64_t(produced)) return false;
    if (status == Z_STREAM_END) {
      stream_->finished = true;
      break;
    }
  } while (z.avail_out == 0);
  return true;
}

}  // namespace zel
