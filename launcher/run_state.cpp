// The run state of one launch.
#include "run_state.h"

char wrkDir[WRK_DIR_SIZE];
volatile sig_atomic_t workParentFd = -1;
char wrkName[WRK_NAME_SIZE];
int extract = 0;
char extractFolder[EXTRACT_FOLDER_SIZE];
char extractPath[EXTRACT_FOLDER_SIZE];
volatile sig_atomic_t interrupted = 0;
volatile sig_atomic_t ignoreInterrupt = 0;
int32_t whichImg = -1;
char inst[SEM_NAME_SIZE] = "QUARNTELV";
const char *SEM_NAME = inst;
