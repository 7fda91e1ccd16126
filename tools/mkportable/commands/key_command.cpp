#include "key_command.h"

#include "mkportable/package/signing_key.h"
#include "mkportable/support/terminal_text.h"
#include "pack_error.h"
#include "unique_fd.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mkportable {

namespace {

// A file that is removed again unless kept.
struct NewFile {
    std::filesystem::path path;
    UniqueFd fd;
    bool keep = false;

    NewFile(std::filesystem::path where, mode_t mode) : path(std::move(where))
    {
        fd.reset(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!fd.valid()) {
            if (errno == EEXIST)
                throw PackError(path.string() + " already exists; mkportable never overwrites a key");
            throwSystemError("cannot create " + path.string(), errno);
        }
    }
    NewFile(const NewFile &) = delete;
    NewFile &operator=(const NewFile &) = delete;
    ~NewFile()
    {
        if (!keep)
            unlink(path.c_str());
    }

    void write(const std::string &text)
    {
        writeAll(fd.get(), text.data(), text.size(), path.string());
        if (fsync(fd.get()) != 0)
            throwSystemError("cannot write " + path.string(), errno);
        closeChecked(fd, path.string());
    }
};

} // namespace

CLI::App *addKeyCommand(CLI::App &app, KeyOptions &options)
{
    CLI::App *key = app.add_subcommand("key", "Make keys that sign packages");
    key->require_subcommand(1);
    CLI::App *generate = key->add_subcommand("generate", "Write a new key pair, NAME.pub and NAME.key");
    generate->footer("Example:\n  mkportable key generate release\n"
                     "  mkportable build tool.toml --sign release.key\n"
                     "  mkportable verify tool.run --key release.pub\n"
                     "The files are minisign's: 'minisign -V -p release.pub' checks what the key signs.\n");
    generate->add_option("name", options.name, "Path and name of the pair (a trailing .key or .pub is left out)")
        ->type_name("NAME")
        ->required();
    return generate;
}

void runKeyGenerate(const KeyOptions &options, std::ostream &out)
{
    // "release.key" names the pair as well as "release" does: the pair
    // becomes release.key and release.pub, not release.key.key.
    std::string base = options.name.string();
    for (const char *suffix : {".key", ".pub"})
        if (base.size() > 4 && base.ends_with(suffix) && base[base.size() - 5] != '/')
            base.resize(base.size() - 4);
    // Both names are taken before a byte of the key is written.
    NewFile secretFile(base + ".key", 0600);
    NewFile publicFile(base + ".pub", 0644);
    if (fchmod(secretFile.fd.get(), 0600) != 0)
        throwSystemError("cannot set the mode of " + secretFile.path.string(), errno);
    const SigningKey key = generateSigningKey();
    std::string secretText = secretKeyFileText(key);
    try {
        secretFile.write(secretText);
    } catch (...) {
        sodium_memzero(secretText.data(), secretText.size());
        throw;
    }
    sodium_memzero(secretText.data(), secretText.size());
    publicFile.write(publicKeyFileText(key.publicKey));
    secretFile.keep = publicFile.keep = true;
    out << "mkportable: wrote " << terminalText(publicFile.path.string()) << " and "
        << terminalText(secretFile.path.string()) << " (key ID " << keyIdString(key.publicKey.keyId)
        << "); keep the .key secret\n";
}

} // namespace mkportable
