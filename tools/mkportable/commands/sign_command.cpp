#include "sign_command.h"

#include "mkportable/package/input_file.h"
#include "mkportable/package/package_probe.h"
#include "mkportable/package/package_signing.h"
#include "mkportable/support/detached_signature.h"
#include "mkportable/support/terminal_text.h"
#include "pack_error.h"
#include "temp_file.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace mkportable {

CLI::App *addSignCommand(CLI::App &app, SignOptions &options)
{
    CLI::App *cmd = app.add_subcommand("sign", "Sign a package that is already built");
    cmd->footer("Example:\n  mkportable sign tool.run --key release.key --detached\n");
    cmd->add_option("package", options.package, "Package file, signed in place")->type_name("PACKAGE")->required();
    cmd->add_option("--key", options.key, "Minisign secret key ('mkportable key generate' makes one)")
        ->type_name("NAME.key")
        ->required();
    cmd->add_flag("--detached", options.detached,
                  "Also write PACKAGE.minisig, which 'minisign -V -p NAME.pub -m PACKAGE' checks");
    return cmd;
}

void runSign(const SignOptions &options, std::ostream &out)
{
    const SigningKey key = readSigningKey(options.key);
    const ProbedPackage pkg = probePackage(options.package, false);
    if (!pkg.layoutSound)
        throw PackError(options.package.string() + ": " + pkg.problems.front());
    const InputFile in = InputFile::open(options.package, "package");
    struct stat st;
    if (fstat(in.fd(), &st) != 0)
        throwSystemError("cannot examine " + in.name(), errno);
    const std::optional<FileHash> before = hashBeforeReplacing(options.package);

    // Signing through a link signs the file that it names: the signed copy
    // renamed onto the link would replace the link and leave its target
    // unsigned.
    std::filesystem::path target = options.package;
    std::error_code error;
    if (std::filesystem::is_symlink(target, error)) {
        target = std::filesystem::canonical(target, error);
        if (error)
            throwSystemError("cannot follow the link " + options.package.string(), error.value());
    }
    TempFile temp(target, "tmp");
    in.copyTo(temp.fd(), temp.path().string());
    // The copy is the package, for the messages of the checks.
    signPackage(temp.fd(), in.size(), key, true, options.package.string());
    // Root signing another user's package leaves it that user's.
    if (geteuid() == 0 && (st.st_uid != 0 || st.st_gid != 0) && fchown(temp.fd(), st.st_uid, st.st_gid) != 0)
        throwSystemError("cannot keep the owner of " + options.package.string(), errno);
    temp.commit(st.st_mode & 07777);
    out << "mkportable: signed " << terminalText(options.package.string()) << " with key "
        << keyIdString(key.publicKey.keyId) << "\n";
    settleDetachedSignature(options.package, options.detached ? &key : nullptr, before, false, out);
}

} // namespace mkportable
