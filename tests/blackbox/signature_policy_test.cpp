// Signed packages on a machine with a policy: the real launcher, run in a
// namespace whose /etc is a copy that holds the made-up policy and keys. A
// file of its own because every case needs that machine set up.
#include "launcher_harness.h"

#include "digest_record.h"
#include "signature_policy.h"

#include <cstdlib>
#include <optional>
#include <sys/stat.h>

namespace {

const std::string BY_FILE = "Refused: this machine runs only packages signed by a trusted key "
                            "(require-signature in /etc/quarn-portable/policy), and this package ";
const std::string MENDED = "Refused: nothing runs on this machine until its signature policy is mended: ";
const std::string OWNER_RULE = "is not owned by root, or is writable by group or others";

// The machine: its policy file (none when unset), its trusted keys by file
// name, and shell commands run on /etc/quarn-portable once it is there.
struct Machine {
    std::optional<std::string> policy;
    std::vector<std::pair<std::string, std::string>> keys;
    std::string then = {};
};

void onPolicyMachine(SandboxRun &run, const std::string &dir, const Machine &m)
{
    if (!m.policy && m.keys.empty())
        return;
    std::system(("rm -rf '" + dir + "/qp' && mkdir -p '" + dir + "/qp/trusted-keys'").c_str());
    if (m.policy)
        writeFile(dir + "/qp/policy", *m.policy);
    for (const auto &[name, text] : m.keys)
        writeFile(dir + "/qp/trusted-keys/" + name, text);
    run.setup = "mkdir -p etc && mount -t tmpfs tmpfs etc && cp -a /etc/. etc/ && cp -r qp etc/quarn-portable && "
                "chmod -R go-w etc/quarn-portable && mount --bind \"$PWD/etc\" /etc" +
                (m.then.empty() ? "" : " && " + m.then);
}

std::string flipped(std::string bytes, std::size_t at)
{
    bytes[at] = char(bytes[at] ^ 0x20);
    return bytes;
}

std::string signedPackage(const std::string &script, const std::optional<SigningKey> &signer)
{
    PackageSpec layout = standardPackage(toolImage(script), "./tool.sh");
    layout.settings = PackageSettings{};
    layout.signer = signer;
    return buildPackage(layout);
}

// Both copies of the signature area of `bytes`, from `area`.
std::string withSignatureArea(std::string bytes, const std::string &area)
{
    for (int which = 0; which < 2; ++which)
        bytes.replace(variantFieldOffset(bytes.size(), which) + DIGEST_SIGNATURE_OFFSET, DIGEST_SIGNATURE_SIZE, area);
    return bytes;
}

std::string signatureArea(const std::string &bytes)
{
    return bytes.substr(variantFieldOffset(bytes.size(), 0) + DIGEST_SIGNATURE_OFFSET, DIGEST_SIGNATURE_SIZE);
}

std::string idOf(const SigningKey &key)
{
    char text[KEY_ID_TEXT_SIZE];
    keyIdText(reinterpret_cast<const unsigned char *>(key.keyId.data()), text);
    return text;
}

struct Keys {
    SigningKey trusted = newSigningKey(), stranger = newSigningKey();
};

TEST(SignaturePolicy, ALaunchRunsOnlyWhatAKeyTrustedHereSignedAndTheFileStillMatches)
{
    LauncherHarness h;
    Keys k;
    const std::string touch = "touch \"$QUARN_PORTABLE_EXEC_DIR/ran\"";
    const std::string good = signedPackage(touch, k.trusted);
    const std::string unsigned_ = signedPackage(touch, std::nullopt);
    const std::string strangers = signedPackage(touch, k.stranger);
    // Element ends: the last byte of each of the five elements.
    PackageSpec layout = standardPackage(toolImage(touch), "./tool.sh");
    std::size_t ends[5], at = 0;
    const std::string *elements[5] = {&layout.launcher, &layout.unzip, &layout.globalInfo, &layout.commands,
                                      &layout.image};
    for (int i = 0; i < 5; ++i)
        ends[i] = (at += elements[i]->size()) - 1;
    const std::size_t field0 = variantFieldOffset(good.size(), 0), field1 = variantFieldOffset(good.size(), 1);
    const std::string otherSigned = signedPackage("exit 0", k.trusted);
    std::string truncatedArea = "Ed" + k.trusted.keyId;
    truncatedArea.resize(DIGEST_SIGNATURE_SIZE, '\0');
    std::string paddedArea = signatureArea(good);
    paddedArea.back() = 1;
    // A key pair that minisign made.
    ASSERT_EQ(std::system(("minisign -G -W -p '" + h.dir + "/ms.pub' -s '" + h.dir + "/ms.key' >/dev/null").c_str()),
              0);
    const SigningKey minisignKey = signingKeyFromMinisign(readFile(h.dir + "/ms.key"));
    const std::string trustedPub = minisignPublicKey(k.trusted);

    const std::string changed = BY_FILE + "was changed after it was signed (its digest does not match).\n";
    const std::string mismatch = BY_FILE + "carries a signature that does not match.\n";
    const std::string damagedRecords = BY_FILE + "has damaged digest records.\n";
    const Machine requiring{"# signed packages only\n\n  require-signature  # everywhere\n",
                            {{"maker.pub", trustedPub}}};
    Machine othersWrite = requiring;
    othersWrite.then = "chmod o+w /etc/quarn-portable/policy";
    Machine groupWritesKey = requiring;
    groupWritesKey.then = "chmod g+w /etc/quarn-portable/trusted-keys/maker.pub";
    Machine linkedPolicy = requiring;
    linkedPolicy.then = "mv /etc/quarn-portable/policy /etc/quarn-portable/real && "
                        "ln -s real /etc/quarn-portable/policy";
    std::string longest = "require-signature\n";
    longest.resize(POLICY_FILE_LIMIT, '#');
    std::string longestKey = "untrusted comment: " + std::string(KEY_FILE_LIMIT, 'c');
    longestKey = longestKey.substr(0, KEY_FILE_LIMIT - trustedPub.size() + trustedPub.find('\n')) +
                 trustedPub.substr(trustedPub.find('\n'));
    struct Case {
        const char *name;
        std::string package;
        Machine machine;
        int status;
        std::string err;
        std::vector<std::string> env = {};
        std::vector<std::string> args = {};
    } cases[] = {
        {"no policy: an unsigned package runs", unsigned_, {}, 0, ""},
        {"no policy: a stranger's package runs", strangers, {}, 0, ""},
        {"a policy of comments only requires nothing", unsigned_, {"# nothing\n\n", {}}, 0, ""},
        {"signed by a trusted key", good, requiring, 0, ""},
        {"signed by a trusted key, --extract", good, requiring, 0, "", {}, {"--extract", "out"}},
        {"unsigned", unsigned_, requiring, 1, BY_FILE + "is not signed.\n"},
        {"unsigned, --extract makes nothing",
         unsigned_,
         requiring,
         1,
         BY_FILE + "is not signed.\n",
         {},
         {"--extract", "out"}},
        {"unsigned, -semdestroy still releases a guard",
         unsigned_,
         requiring,
         0,
         "Existing Semaphore released.\n",
         {},
         {"-semdestroy"}},
        {"no record at all", buildPackage(layout), requiring, 1, BY_FILE + "is not signed.\n"},
        {"signed by a key not trusted here", strangers, requiring, 1,
         BY_FILE + "is signed by key " + idOf(k.stranger) + ", which is not trusted here.\n"},
        {"a byte of the launcher changed", flipped(good, ends[0]), requiring, 1, changed},
        {"a byte of the unzip utility changed", flipped(good, ends[1]), requiring, 1, changed},
        {"a byte of the global information changed", flipped(good, ends[2]), requiring, 1, changed},
        {"a byte of the command table changed", flipped(good, ends[3]), requiring, 1, changed},
        {"a byte of the image changed", flipped(good, ends[4]), requiring, 1, changed},
        {"a byte of the first record's digest changed", flipped(good, field0 + 40), requiring, 1, damagedRecords},
        {"a byte of the second record's signature changed", flipped(good, field1 + DIGEST_SIGNATURE_OFFSET + 30),
         requiring, 1, damagedRecords},
        {"the same byte of both records' digests changed", flipped(flipped(good, field0 + 40), field1 + 40), requiring,
         1, mismatch},
        {"the same byte of both records' settings changed (the name)", flipped(flipped(good, field0 + 72), field1 + 72),
         requiring, 1, changed},
        {"the same byte of both signatures changed",
         flipped(flipped(good, field0 + DIGEST_SIGNATURE_OFFSET + 30), field1 + DIGEST_SIGNATURE_OFFSET + 30),
         requiring, 1, mismatch},
        {"a signature moved from another package", withSignatureArea(good, signatureArea(otherSigned)), requiring, 1,
         mismatch},
        {"a truncated signature area: the key ID and no signature", withSignatureArea(good, truncatedArea), requiring,
         1, mismatch},
        {"a signature area whose padding is not zero", withSignatureArea(good, paddedArea), requiring, 1, mismatch},
        {"a key made by minisign", signedPackage(touch, minisignKey),
         Machine{"require-signature\n", {{"ms.pub", readFile(h.dir + "/ms.pub")}}}, 0, ""},
        {"a key file that is no key is named and skipped", good,
         Machine{"require-signature\n", {{"a.pub", "untrusted comment: x\nnot base64\n"}, {"maker.pub", trustedPub}}},
         0, "Skipped /etc/quarn-portable/trusted-keys/a.pub: it is no minisign public key\n"},
        {"a key file one byte shorter than allowed", good,
         Machine{"require-signature\n", {{"maker.pub", longestKey.substr(0, 19) + longestKey.substr(20)}}}, 0, ""},
        {"a key file as long as allowed", good, Machine{"require-signature\n", {{"maker.pub", longestKey}}}, 0, ""},
        {"a key file one byte longer is skipped", good,
         Machine{"require-signature\n", {{"maker.pub", "#" + longestKey}}}, 1,
         "Skipped /etc/quarn-portable/trusted-keys/maker.pub: it is longer than 4096 bytes\n" + BY_FILE +
             "is signed by key " + idOf(k.trusted) + ", which is not trusted here.\n"},
        {"a key writable by its group is named and skipped", good, groupWritesKey, 1,
         "Skipped /etc/quarn-portable/trusted-keys/maker.pub: it " + OWNER_RULE + "\n" + BY_FILE + "is signed by key " +
             idOf(k.trusted) + ", which is not trusted here.\n"},
        {"a policy file writable by others refuses every launch", good, othersWrite, 1,
         MENDED + "/etc/quarn-portable/policy " + OWNER_RULE + "\n"},
        {"a policy file that is a link refuses every launch", good, linkedPolicy, 1,
         MENDED + "/etc/quarn-portable/policy is a symbolic link\n"},
        {"a policy file one byte shorter than allowed", good,
         Machine{longest.substr(0, longest.size() - 1), {{"maker.pub", trustedPub}}}, 0, ""},
        {"a policy file as long as allowed", good, Machine{longest, {{"maker.pub", trustedPub}}}, 0, ""},
        {"a policy file one byte longer refuses every launch", good,
         Machine{longest + "#", {{"maker.pub", trustedPub}}}, 1,
         MENDED + "/etc/quarn-portable/policy is longer than 65536 bytes\n"},
        {"an unknown policy line refuses every launch", good,
         Machine{"require-signature\n# fine\nallow-unsigned\x1b[2J\n", {{"maker.pub", trustedPub}}}, 1,
         MENDED + "line 3 of /etc/quarn-portable/policy is no policy keyword: allow-unsigned\\x1b[2J\n"},
        {"an environment variable does not loosen the policy",
         unsigned_,
         requiring,
         1,
         BY_FILE + "is not signed.\n",
         {"QUARN_PORTABLE_REQUIRE_SIGNATURE=0"}},
        {"an environment variable requires a signature without a policy file",
         unsigned_,
         {},
         1,
         "Refused: this machine runs only packages signed by a trusted key (QUARN_PORTABLE_REQUIRE_SIGNATURE=1), "
         "and this package is not signed.\n",
         {"QUARN_PORTABLE_REQUIRE_SIGNATURE=1"}},
    };
    for (const auto &c : cases) {
        writeFile(h.package, c.package, 0755);
        std::system(("rm -rf '" + h.dir + "/ran' '" + h.dir + "/out'").c_str());
        SandboxRun run = h.sandboxRun(c.args, c.env);
        onPolicyMachine(run, h.dir, c.machine);
        SandboxResult r = runSandboxed(h.dir, run);
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
        EXPECT_EQ(r.err, c.err) << c.name;
        bool extract = !c.args.empty() && c.args[0] == "--extract", launch = c.args.empty();
        EXPECT_EQ(fileThere(h.dir + "/ran"), c.status == 0 && launch) << c.name;
        EXPECT_EQ(fileThere(h.dir + "/out/tool.sh"), c.status == 0 && extract) << c.name;
        if (c.status != 0) {
            EXPECT_EQ(r.out, "") << c.name;
            EXPECT_FALSE(fileThere(h.dir + "/out")) << c.name;
        }
        EXPECT_EQ(r.tmpAfter, "") << c.name;
        EXPECT_EQ(r.shmAfter, "") << c.name;
    }
}

TEST(SignaturePolicy, SelfHelpNamesTheSignerAndCheckSaysWhetherItIsTrustedHere)
{
    LauncherHarness h;
    Keys k;
    const std::string good = signedPackage("exit 0", k.trusted);
    const std::string strangers = signedPackage("exit 0", k.stranger);
    const std::string unsigned_ = signedPackage("exit 0", std::nullopt);
    const std::string trusted = idOf(k.trusted), stranger = idOf(k.stranger);
    const Machine keysOnly{std::nullopt, {{"maker.pub", minisignPublicKey(k.trusted)}}};
    Machine requiring = keysOnly;
    requiring.policy = "require-signature\n";
    const std::string whole = "Digest: SHA-256 matches\n"
                              "Entries of the image: every entry reads back whole (sizes and CRCs)\n";
    const std::string required = "Policy: a signature by a trusted key is required\n";
    const std::string notTrusted = "NOT TRUSTED: no damage found, but no key trusted here vouches for the package\n";
    struct Case {
        const char *name;
        std::string package;
        Machine machine;
        const char *option;
        int status;
        std::string line; // the line that --portable-info adds, or --portable-check's lines after the entries
    } cases[] = {
        {"info, signed", good, {}, "--portable-info", 0, "Signed by " + trusted + "\n"},
        {"info, unsigned", unsigned_, requiring, "--portable-info", 0, "Not signed\n"},
        {"info, a damaged signature area",
         withSignatureArea(good, std::string(DIGEST_SIGNATURE_SIZE, 'x')),
         {},
         "--portable-info",
         0,
         "Signature area damaged\n"},
        {"check, trusted", good, keysOnly, "--portable-check", 0,
         "Signature: signed by " + trusted + " (trusted)\nOK\n"},
        {"check, trusted under a policy", good, requiring, "--portable-check", 0,
         "Signature: signed by " + trusted + " (trusted)\n" + required + "OK\n"},
        {"check, a stranger's key", strangers, keysOnly, "--portable-check", 3,
         "Signature: signed by " + stranger + " (not trusted here)\n" + notTrusted},
        {"check, unsigned without a policy", unsigned_, keysOnly, "--portable-check", 0, "Signature: not signed\nOK\n"},
        {"check, unsigned under a policy", unsigned_, requiring, "--portable-check", 3,
         "Signature: not signed\n" + required + notTrusted},
        {"check, a signature that does not match",
         withSignatureArea(good, signatureArea(signedPackage("exit 1", k.trusted))), keysOnly, "--portable-check", 3,
         "Signature: signature does not match\n" + notTrusted},
        {"check, an unknown policy line", good, Machine{"demand-nothing\n", keysOnly.keys}, "--portable-check", 3,
         "Signature: signed by " + trusted + " (trusted)\n" +
             "Policy: every launch is refused: line 1 of /etc/quarn-portable/policy is no policy keyword: "
             "demand-nothing\n" +
             notTrusted},
    };
    for (const auto &c : cases) {
        writeFile(h.package, c.package, 0755);
        SandboxRun run = h.sandboxRun({c.option});
        onPolicyMachine(run, h.dir, c.machine);
        SandboxResult r = runSandboxed(h.dir, run);
        EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
        EXPECT_EQ(r.err, "") << c.name;
        if (std::string(c.option) == "--portable-check")
            EXPECT_EQ(r.out, whole + c.line) << c.name;
        else
            EXPECT_NE(r.out.find("\n" + c.line + "Launcher "), std::string::npos) << c.name << "\n" << r.out;
        EXPECT_EQ(r.tmpAfter, "") << c.name;
    }
}

} // namespace
