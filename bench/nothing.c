/* The floor of a one-shot program: a static C program that does nothing. */
int main(void) { return 0; }
