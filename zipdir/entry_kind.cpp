#include "entry_kind.h"

#include <sys/stat.h>

EntryMode entryModeOf(unsigned long versionMadeBy, unsigned long externalAttrs, bool nameEndsWithSlash)
{
    unsigned long host = (versionMadeBy >> 8) & 0xff;
    mode_t unixMode = (mode_t)((externalAttrs >> 16) & 0xffff);
    if (host == kHostUnix && unixMode != 0) {
        mode_t perms = unixMode & 0777;
        if (nameEndsWithSlash || S_ISDIR(unixMode))
            return {EntryKind::Directory, perms};
        if (S_ISLNK(unixMode))
            return {EntryKind::Symlink, perms};
        return {EntryKind::File, perms};
    }
    if (nameEndsWithSlash || (externalAttrs & kDosDirectoryAttr))
        return {EntryKind::Directory, 0755};
    return {EntryKind::File, 0644};
}
