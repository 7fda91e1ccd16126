#include "entry_data.h"

#include "diag.h"

#include <cinttypes>
#include <climits>

bool streamEntryData(unzFile zf, uint64_t expectedSize, std::span<char> buffer,
                     const std::string &shown, const ChunkSink &sink) {
  int rc = unzOpenCurrentFile(zf);
  if (rc != UNZ_OK) {
    complain("%s: unzOpenCurrentFile: %s", shown.c_str(), unzErrorText(rc));
    return false;
  }
  unsigned chunk = buffer.size() > UINT_MAX ? UINT_MAX : (unsigned)buffer.size();
  uint64_t total = 0;
  bool ok = true;
  for (;;) {
    int n = unzReadCurrentFile(zf, buffer.data(), chunk);
    if (n < 0) {
      complain("%s: unzReadCurrentFile: %s", shown.c_str(), unzErrorText(n));
      ok = false;
      break;
    }
    if (n == 0)
      break;
    total += (uint64_t)n;
    if (total > expectedSize) {
      complain("%s: more data than the %" PRIu64 " bytes the archive records", shown.c_str(),
               expectedSize);
      ok = false;
      break;
    }
    if (!sink(buffer.data(), (size_t)n)) {
      ok = false;
      break;
    }
  }
  // minizip checks the CRC only once the recorded size has been read, so a
  // short entry must be caught here.
  if (ok && total != expectedSize) {
    complain("%s: data ends after %" PRIu64 " of the %" PRIu64 " bytes the archive records",
             shown.c_str(), total, expectedSize);
    ok = false;
  }
  rc = unzCloseCurrentFile(zf);
  if (ok && rc != UNZ_OK) {
    complain("%s: unzCloseCurrentFile: %s", shown.c_str(), unzErrorText(rc));
    ok = false;
  }
  return ok;
}
