#include "end_record.h"

#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kRecordSize = 22;
constexpr size_t kMaxComment = 0xffff;

unsigned le16(const unsigned char *p) { return p[0] | (unsigned)p[1] << 8; }
uint32_t le32(const unsigned char *p) { return le16(p) | (uint32_t)le16(p + 2) << 16; }

} // namespace

bool findEndRecord(int fd, EndRecord &out) {
  struct stat st;
  if (fstat(fd, &st) != 0 || (uint64_t)st.st_size < kRecordSize)
    return false;
  uint64_t size = (uint64_t)st.st_size;
  size_t tail = size < kRecordSize + kMaxComment ? (size_t)size : kRecordSize + kMaxComment;
  std::vector<unsigned char> buf(tail);
  uint64_t base = size - tail;
  for (size_t got = 0; got < tail;) {
    ssize_t n = pread(fd, buf.data() + got, tail - got, (off_t)(base + got));
    if (n <= 0)
      return false;
    got += (size_t)n;
  }
  // The record nearest the end wins, as a comment may itself hold "PK\5\6".
  for (size_t at = tail - kRecordSize + 1; at-- > 0;) {
    const unsigned char *r = buf.data() + at;
    if (r[0] == 'P' && r[1] == 'K' && r[2] == 5 && r[3] == 6 &&
        at + kRecordSize + le16(r + 20) == tail) {
      out.offset = base + at;
      out.entries = (uint16_t)le16(r + 10);
      out.directorySize = le32(r + 12);
      return true;
    }
  }
  return false;
}
