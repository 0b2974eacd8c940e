/* The floor for rewriting a hive: copy a file into a new one beside it,
 * flush it and rename it into place. */
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: copy_fsync FROM TEMP TO\n");
        return 2;
    }
    int in = open(argv[1], O_RDONLY);
    int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0)
        return 1;
    static char block[1 << 20];
    ssize_t n;
    while ((n = read(in, block, sizeof block)) > 0)
        if (write(out, block, (size_t)n) != n)
            return 1;
    if (n < 0 || fsync(out) != 0 || close(out) != 0)
        return 1;
    return rename(argv[2], argv[3]) != 0;
}
