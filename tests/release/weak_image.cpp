// A program that lacks every exploit mitigation that pe_mitigations_check reads (it is linked
// without ASLR and DEP, see CMakeLists.txt), with a section both writable and executable and a
// writable section shared between processes: the check must name each one missing.
asm(".section .wx, \"wx\"\n"
    ".byte 0\n"
    ".section .shared, \"ws\"\n"
    ".byte 0\n"
    ".text\n");

int main() { return 0; }
