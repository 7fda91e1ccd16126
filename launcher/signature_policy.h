// A machine's policy on package signatures: which makers it trusts, and
// whether it runs only what one of them signed.
//
// Trusted keys are the minisign public keys POLICY_DIRECTORY/trusted-keys/*.pub.
// POLICY_DIRECTORY/policy holds one keyword a line (`#` starts a comment):
// `require-signature` makes every launch and every --extract refuse a
// package that no trusted key signed, or whose signature or digest does not
// match, before the guard and before anything is made. A policy file that
// cannot be read or holds a line that is no keyword refuses every launch:
// what it should have said is unknown. For a launch by root, only
// directories and files owned by root and writable by neither group nor
// others count: a key or key directory that is not is named and skipped,
// and a policy file (or the directory holding it) that is not refuses every
// launch, since its rule may have been loosened by anybody.
// QUARN_PORTABLE_REQUIRE_SIGNATURE=1 requires a signature for one launch;
// nothing in the environment loosens the policy or adds a key. Without a
// policy file nothing is read but its absence.
#ifndef LAUNCHER_SIGNATURE_POLICY_H
#define LAUNCHER_SIGNATURE_POLICY_H

#include "digest_record.h"
#include "package_signature.h"

#include <string>
#include <vector>

constexpr const char *POLICY_DIRECTORY = "/etc/quarn-portable";
constexpr const char *POLICY_FILE = "/etc/quarn-portable/policy";
constexpr const char *TRUSTED_KEY_DIRECTORY = "/etc/quarn-portable/trusted-keys";
constexpr const char *REQUIRE_SIGNATURE_VARIABLE = "QUARN_PORTABLE_REQUIRE_SIGNATURE";

// Longest policy file and key file read; a longer one is refused (the
// policy) or skipped (a key).
constexpr int POLICY_FILE_LIMIT = 65536;
constexpr int KEY_FILE_LIMIT = 4096;

struct SignaturePolicy {
    bool required = false;       // a signature by a trusted key is required
    bool requiredByFile = false; // ... because the policy file says so
    bool broken = false;         // the policy file cannot be trusted: every launch is refused
    std::string problem;         // why, naming the file (and the line)
    std::vector<PublicKey> trusted;
};

// Reads the policy and, when `withKeys` or a signature is required, the
// trusted keys. What is refused or skipped is said on standard error, one
// line each.
SignaturePolicy readSignaturePolicy(bool withKeys);

// What a package's signature says on this machine.
enum SignatureVerdict {
    VERDICT_TRUSTED,   // signed by a trusted key, and the signature matches the digest
    VERDICT_UNTRUSTED, // signed by a key not trusted here
    VERDICT_MISMATCH,  // a trusted key's ID, but the signature does not match (or the area is damaged)
    VERDICT_UNSIGNED   // no signature, no sha256-v2 record, or no record at all
};

// Judges the signature of a valid record (or of no record, kind NONE)
// against the trusted keys; keyId gets the signer's ID as text, or "".
SignatureVerdict judgeSignature(PackageRecordKind kind, const DigestRecord &record, const SignaturePolicy &policy,
                                char keyId[KEY_ID_TEXT_SIZE]);

// For a launch or --extract: 0 when it may go on, 1 after one message on
// standard error when this machine's policy refuses the package.
int enforceSignaturePolicy(int argc, char **argv);

// True when enforceSignaturePolicy found in this launch that the file with
// this identity (fileIdentity, taken before the pass) matches its digest,
// so that filling the cache need not read it all again.
bool digestMatchedThisLaunch(const std::string &identity);

#endif
