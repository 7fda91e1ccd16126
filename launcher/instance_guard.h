// The instance guard: a named semaphore whose existence marks a running
// launcher, so that a second one refuses to start.
#ifndef LAUNCHER_INSTANCE_GUARD_H
#define LAUNCHER_INSTANCE_GUARD_H

// Names the guard after the package settings: a per-package guard is
// "QUARNTELV." and the first 16 hexadecimal digits of the SHA-256 of the
// package's name; every other package keeps SEM_NAME as it is.
void chooseInstanceGuard();

// False for a package whose settings say it takes no guard.
bool usesInstanceGuard();

// Releases the instance guard, whether or not one exists: 0 when it is gone
// or there was none, -1 (errno set) when it exists and cannot be removed.
int sem_dest();

// For -semdestroy of a package with settings: removes the liveness mark
// of a launcher that is gone; a live launcher's mark stays.
void clearDeadHolderMark();

// Takes the guard for this process: 0 when it is taken, taken over from a
// launcher that is gone (with one line saying so), not used by the package,
// or cannot be made for another reason than another instance (the run goes
// on unguarded); 1 after the message when another instance holds it.
// `program` is the name the launcher was started by, for that message.
int takeInstanceGuard(const char *program);

// Releases the guard when this process holds it, never another instance's.
void releaseInstanceGuard();

// The same from the signal handler: async-signal-safe calls only.
void releaseInstanceGuardFromHandler();

#endif
