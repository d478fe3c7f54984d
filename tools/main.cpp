#include <cstdio>

int main() {
    std::puts("idxreport: under construction");
    return 0;
}
