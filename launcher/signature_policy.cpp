#include "signature_policy.h"

#include "file_identity.h"
#include "package_reader.h"
#include "terminal_text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The file whose digest this launch's policy check matched, as it was
// before the pass over it (fileIdentity); empty when none did.
std::string matchedFile;

const char *const OWNER_RULE = "is not owned by root, or is writable by group or others";

// Only what root alone can change counts for a launch by root: anything
// else could have been put there by whoever the launch is to protect.
bool passesOwnerRule(const struct stat &st)
{
    return geteuid() != 0 || (st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0);
}

struct SmallFile {
    bool absent = false;
    std::string why; // empty when `text` holds the whole file
    std::string text;
};

// Reads `name` in the directory dirFd whole: never through a link, never
// waiting on a fifo, only a regular file that passes the owner rule and
// holds at most `limit` bytes.
SmallFile readSmallFile(int dirFd, const char *name, int limit)
{
    SmallFile file;
    int fd = openat(dirFd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        file.absent = errno == ENOENT;
        file.why = errno == ELOOP ? "is a symbolic link" : std::string("cannot be read: ") + std::strerror(errno);
        return file;
    }
    struct stat st;
    if (fstat(fd, &st) != 0)
        file.why = std::string("cannot be read: ") + std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        file.why = "is not a regular file";
    else if (!passesOwnerRule(st))
        file.why = OWNER_RULE;
    else {
        file.text.resize(std::size_t(limit) + 1);
        std::size_t got = 0;
        ssize_t n = 0;
        while (got < file.text.size() && (n = read(fd, file.text.data() + got, file.text.size() - got)) > 0)
            got += std::size_t(n);
        file.text.resize(got);
        if (n < 0)
            file.why = std::string("cannot be read: ") + std::strerror(errno);
        else if (got > std::size_t(limit))
            file.why = "is longer than " + std::to_string(limit) + " bytes";
    }
    close(fd);
    return file;
}

void skip(const std::string &path, const std::string &why)
{
    std::fprintf(stderr, "Skipped %s: it %s\n", terminalText(path).c_str(), why.c_str());
}

// The keyword lines of a policy file: "" when every line is known, else
// what is wrong with the first that is not.
std::string readPolicyLines(const std::string &text, SignaturePolicy &policy)
{
    std::size_t at = 0;
    for (int number = 1; at < text.size(); ++number) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        line = line.substr(0, line.find('#'));
        const char *blanks = " \t\r";
        std::size_t from = line.find_first_not_of(blanks);
        if (from == std::string::npos)
            continue;
        line = line.substr(from, line.find_last_not_of(blanks) + 1 - from);
        if (line == "require-signature") {
            policy.required = policy.requiredByFile = true;
            continue;
        }
        return "line " + std::to_string(number) + " of " + POLICY_FILE + " is no policy keyword: " + terminalText(line);
    }
    return "";
}

// Adds the keys of the trusted-key directory inside dirFd; names what it
// skips.
void readTrustedKeys(int dirFd, SignaturePolicy &policy)
{
    int keysFd = openat(dirFd, "trusted-keys", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (keysFd < 0) {
        if (errno != ENOENT)
            skip(TRUSTED_KEY_DIRECTORY, std::string("cannot be read: ") + std::strerror(errno));
        return;
    }
    struct stat st;
    DIR *dir = nullptr;
    if (fstat(keysFd, &st) != 0 || !passesOwnerRule(st) || !(dir = fdopendir(keysFd))) {
        skip(TRUSTED_KEY_DIRECTORY, OWNER_RULE);
        close(keysFd);
        return;
    }
    std::vector<std::string> names;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name[0] != '.' && name.size() > 4 && name.compare(name.size() - 4, 4, ".pub") == 0)
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        std::string path = std::string(TRUSTED_KEY_DIRECTORY) + "/" + name;
        SmallFile file = readSmallFile(dirfd(dir), name.c_str(), KEY_FILE_LIMIT);
        PublicKey key;
        if (!file.why.empty())
            skip(path, file.why);
        else if (!parsePublicKey(file.text.data(), file.text.size(), &key))
            skip(path, "is no minisign public key");
        else
            policy.trusted.push_back(key);
    }
    closedir(dir);
}

} // namespace

SignaturePolicy readSignaturePolicy(bool withKeys)
{
    SignaturePolicy policy;
    const char *variable = std::getenv(REQUIRE_SIGNATURE_VARIABLE);
    policy.required = variable && std::strcmp(variable, "1") == 0;
    // The directory may be a link that root made in /etc; the files in it
    // are never followed.
    int dirFd = open(POLICY_DIRECTORY, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        if (errno != ENOENT) {
            policy.broken = true;
            policy.problem = std::string(POLICY_DIRECTORY) + " cannot be read: " + std::strerror(errno);
        }
        return policy;
    }
    struct stat st;
    bool dirSafe = fstat(dirFd, &st) == 0 && passesOwnerRule(st);
    SmallFile file = readSmallFile(dirFd, "policy", POLICY_FILE_LIMIT);
    if (!file.absent) {
        if (!dirSafe)
            policy.problem = std::string(POLICY_DIRECTORY) + " " + OWNER_RULE;
        else if (!file.why.empty())
            policy.problem = std::string(POLICY_FILE) + " " + file.why;
        else
            policy.problem = readPolicyLines(file.text, policy);
        policy.broken = !policy.problem.empty();
    }
    if (withKeys || policy.required) {
        if (dirSafe)
            readTrustedKeys(dirFd, policy);
        else
            skip(TRUSTED_KEY_DIRECTORY, std::string("lies in ") + POLICY_DIRECTORY + ", which " + OWNER_RULE);
    }
    close(dirFd);
    return policy;
}

SignatureVerdict judgeSignature(PackageRecordKind kind, const DigestRecord &record, const SignaturePolicy &policy,
                                char keyId[KEY_ID_TEXT_SIZE])
{
    keyId[0] = '\0';
    if (kind != PACKAGE_RECORD_VALID || record.algorithm != DIGEST_SHA256_V2)
        return VERDICT_UNSIGNED;
    PackageSignature signature;
    switch (decodeSignatureArea(record.signature, &signature)) {
    case SIGNATURE_ABSENT: return VERDICT_UNSIGNED;
    case SIGNATURE_MALFORMED: return VERDICT_MISMATCH;
    case SIGNATURE_PRESENT: break;
    }
    keyIdText(signature.keyId, keyId);
    bool known = false;
    for (const PublicKey &key : policy.trusted) {
        if (std::memcmp(key.keyId, signature.keyId, KEY_ID_SIZE) != 0)
            continue;
        known = true;
        if (signatureMatches(signature, key, record.sha256))
            return VERDICT_TRUSTED;
    }
    return known ? VERDICT_MISMATCH : VERDICT_UNTRUSTED;
}

int enforceSignaturePolicy(int argc, char **argv)
{
    SignaturePolicy policy = readSignaturePolicy(false);
    if (policy.broken) {
        std::fprintf(stderr, "Refused: nothing runs on this machine until its signature policy is mended: %s\n",
                     policy.problem.c_str());
        return 1;
    }
    if (!policy.required)
        return 0;
    int fd = openOwnFile(argc, argv);
    if (fd < 0)
        return 1;
    off_t end = lseek(fd, 0, SEEK_END);
    PackageRecordKind kind = PACKAGE_RECORD_NONE;
    DigestRecord record;
    char keyId[KEY_ID_TEXT_SIZE];
    std::string why;
    if (end < 0 || !readPackageRecord(fd, uint64_t(end), &kind, &record))
        why = "cannot be read";
    else if (kind == PACKAGE_RECORD_DAMAGED)
        why = "has damaged digest records";
    else
        switch (judgeSignature(kind, record, policy, keyId)) {
        case VERDICT_UNSIGNED: why = "is not signed"; break;
        case VERDICT_UNTRUSTED: why = std::string("is signed by key ") + keyId + ", which is not trusted here"; break;
        case VERDICT_MISMATCH: why = "carries a signature that does not match"; break;
        case VERDICT_TRUSTED: {
            // The signature vouches for the digest; the one pass over the
            // file shows whether the file is still what the digest says.
            unsigned char actual[DIGEST_SHA256_SIZE];
            struct stat before;
            if (fstat(fd, &before) != 0 || !packageSha256(fd, uint64_t(end), DIGEST_SHA256_V2, actual))
                why = "cannot be read";
            else if (std::memcmp(actual, record.sha256, DIGEST_SHA256_SIZE) != 0)
                why = "was changed after it was signed (its digest does not match)";
            else
                matchedFile = fileIdentity(before);
            break;
        }
        }
    close(fd);
    if (why.empty())
        return 0;
    std::fprintf(stderr,
                 "Refused: this machine runs only packages signed by a trusted key (%s), and this package %s.\n",
                 policy.requiredByFile ? "require-signature in /etc/quarn-portable/policy"
                                       : "QUARN_PORTABLE_REQUIRE_SIGNATURE=1",
                 why.c_str());
    return 1;
}

bool digestMatchedThisLaunch(const std::string &identity)
{
    return !matchedFile.empty() && identity == matchedFile;
}
