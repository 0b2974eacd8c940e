/* The baseline for the forms listing: N rows of the same shapes, written
   with printf alone. */
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    int n = argc > 1 ? atoi(argv[1]) : 10000;
    printf("\nPRINTSERVER FORMS (%d forms, %d bytes)\n", n, n * 40);
    for (int i = 0; i < n; i++) {
        double w = (i + 1) / 1000.0, h = 297.0;
        printf(" [%3d] U %8.3f %8.3f mm    Form %05d\n", i, w, h, i);
        printf("%*s %8.3f %8.3f pts\n", i < 1000 ? 8 : 9, "", w * 72.0 / 25.4, h * 72.0 / 25.4);
        printf("%*s %8.3f %8.3f in\n", i < 1000 ? 8 : 9, "", w / 25.4, h / 25.4);
    }
    return 0;
}
