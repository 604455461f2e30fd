// Not a plug-in: the private DLL that private_import.dll imports from its
// own folder, as plug-ins bring libraries of their own.

extern "C" __declspec(dllexport) int PrivateHelperAnswer() {
    return 42;
}
