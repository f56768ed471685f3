/* The bare floor of filing: for each file of a directory, read its first 64 KiB and rename it
 * into another directory. What filtering costs at least on this machine's file system, with no
 * header parsing, no rules and no threads. Usage: floor SOURCE-DIR TARGET-DIR; prints the number
 * of files and the seconds taken. */
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: floor SOURCE-DIR TARGET-DIR\n");
        return 2;
    }
    static char buffer[65536];
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    DIR* dir = opendir(argv[1]);
    if (!dir) {
        perror("opendir");
        return 1;
    }
    long files = 0;
    char from[4096], to[4096];
    for (struct dirent* entry; (entry = readdir(dir)) != NULL;) {
        if (entry->d_name[0] == '.')
            continue;
        snprintf(from, sizeof from, "%s/%s", argv[1], entry->d_name);
        snprintf(to, sizeof to, "%s/%s", argv[2], entry->d_name);
        int fd = open(from, O_RDONLY | O_NOFOLLOW);
        if (fd < 0) {
            perror(from);
            return 1;
        }
        size_t got = 0;
        for (ssize_t n; got < sizeof buffer && (n = read(fd, buffer + got, sizeof buffer - got)) > 0;)
            got += (size_t)n;
        close(fd);
        if (rename(from, to) != 0) {
            perror(to);
            return 1;
        }
        ++files;
    }
    closedir(dir);
    clock_gettime(CLOCK_MONOTONIC, &end);
    printf("%ld %.6f\n", files, (double)(end.tv_sec - start.tv_sec) + (double)(end.tv_nsec - start.tv_nsec) / 1e9);
    return 0;
}
