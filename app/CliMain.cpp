#include <cstdio>

int main() {
    std::puts("doorlock-cli: not built yet");
    return 2;
}
