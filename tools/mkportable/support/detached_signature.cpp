#include "detached_signature.h"

#include "mkportable/package/input_file.h"
#include "pack_error.h"
#include "temp_file.h"
#include "terminal_text.h"

#include <cerrno>
#include <unistd.h>

namespace mkportable {

namespace {

std::filesystem::path signatureFile(const std::filesystem::path &package)
{
    return std::filesystem::path(package.string() + ".minisig");
}

FileHash hashOf(const std::filesystem::path &package)
{
    const InputFile in = InputFile::open(package, "package");
    return fileHash(in.fd(), in.name());
}

// The trusted comment, one line: the file's name with control characters
// replaced, since minisign shows it on the terminal.
std::string trustedComment(const std::filesystem::path &package)
{
    std::string name = package.filename().string();
    for (char &c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    return "file:" + name + "\thashed";
}

} // namespace

std::optional<FileHash> hashBeforeReplacing(const std::filesystem::path &package)
{
    if (access(signatureFile(package).c_str(), F_OK) != 0 || access(package.c_str(), F_OK) != 0)
        return std::nullopt;
    return hashOf(package);
}

void settleDetachedSignature(const std::filesystem::path &package, const SigningKey *key,
                             const std::optional<FileHash> &before, bool quiet, std::ostream &out)
{
    const std::filesystem::path minisig = signatureFile(package);
    if (key != nullptr) {
        const std::string text = minisignSignatureText(*key, hashOf(package), trustedComment(package));
        TempFile temp(minisig, "tmp");
        writeAll(temp.fd(), text.data(), text.size(), temp.path().string());
        temp.commit(0644);
        if (!quiet)
            out << "mkportable: wrote " << terminalText(minisig.string()) << "\n";
        return;
    }
    if (!before || *before == hashOf(package))
        return;
    if (unlink(minisig.c_str()) != 0 && errno != ENOENT)
        throwSystemError("cannot remove " + minisig.string() + ", which no longer matches " + package.string(), errno);
    if (!quiet)
        out << "mkportable: removed " << terminalText(minisig.string()) << ", which no longer matched the package\n";
}

} // namespace mkportable
