// Linked with one product library taken whole (every object file of it) and with
// the libraries below it only: the link fails when that library calls anything of
// a library above it.
int main() {
    return 0;
}
