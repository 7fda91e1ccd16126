/* platform-report: prints the greeting of its image, the platform codes that
 * getPfmInfo finds for this machine and the arguments it was given. */
#include <osspecific.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    char line[256];
    FILE *greeting = fopen("share/greeting.txt", "r");
    if (greeting != NULL) {
        if (fgets(line, sizeof line, greeting) != NULL)
            fputs(line, stdout);
        fclose(greeting);
    }

    PlatformInfo info;
    const char *failure = getPfmInfo(&info);
    printf("distribution %d, release %d, architecture %d%s%s\n", (int)info.distribution, (int)info.release,
           (int)info.architecture, failure ? ": " : "", failure ? failure : "");
    for (int i = 1; i < argc; ++i)
        printf("argument %d: %s\n", i, argv[i]);
    return 0;
}
