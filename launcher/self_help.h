// What an operator who holds only the package file can ask it: what it
// holds, which record this machine would run, and whether it is whole. None
// of these runs the tool or any other program from the package, nor takes
// the instance guard.
#ifndef LAUNCHER_SELF_HELP_H
#define LAUNCHER_SELF_HELP_H

// Runs the self-help that argv[1] asks for: its exit status, or -1 when
// the command line is no self-help request (the launch goes on).
int runSelfHelp(int argc, char **argv);

// Prints the directory, the records, the strict flag, the image sizes, the
// digest, and which record this machine would select and why (without the
// pause): 0, or 1 when the package cannot be read.
int portableInfo(int argc, char **argv);

// Lists every entry of the image (of both images of a dual-image package):
// mode, size, name and link target. 0, or 1 when an image cannot be read.
int portableList(int argc, char **argv);

// Checks the package digest, then (unless it fails) reads every entry of
// every image with the unzip utility's own reader and rules, linked into the
// launcher: nothing from the package is run and nothing is written. 0 when
// the digest matches, every entry reads back whole and, under this
// machine's policy, a trusted key signed the package; 1 on damage (the
// digest does not match, an entry is bad, the file is cut short); 3 when
// nothing is damaged but a key not trusted here signed it, its signature
// does not match, it is unsigned under a policy, or the policy refuses every
// launch; 2 when nothing is damaged but the package carries no digest.
int portableCheck(int argc, char **argv);

#endif
