// Carries the precompiled GoogleTest header that every test program reuses.
int main() { return 0; }
