// The instance guard: a named semaphore whose existence marks a running
// launcher, so that a second one refuses to start.
#ifndef LAUNCHER_INSTANCE_GUARD_H
#define LAUNCHER_INSTANCE_GUARD_H

// Releases the instance guard, whether or not one exists: 0 when it is gone
// or there was none, -1 (errno set) when it exists and cannot be removed.
int sem_dest();

// Takes the guard for this process: 0 when it is taken, or when it cannot be
// made for another reason than another instance (the run goes on
// unguarded); 1 after the message when another instance holds it.
int takeInstanceGuard();

// Releases the guard when this process holds it, never another instance's.
void releaseInstanceGuard();

// The same from the signal handler: async-signal-safe calls only.
void releaseInstanceGuardFromHandler();

#endif
