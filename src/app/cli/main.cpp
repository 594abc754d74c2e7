// PLACEHOLDER: the command line front end; replaced whole.
#include <cstdio>
int main() { std::puts("tarnwick-cli"); return 0; }
