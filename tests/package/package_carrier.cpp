// A program that carries an update package other than the shipped one, beside string tables
// that are no part of any package: what `patu-package extract` must tell apart.
int main() { return 0; }
