#pragma once
// The linker symbol of a Windows import's slot, for a test that defines the slot itself and so
// catches every call that the code under test makes to the import:
//   BOOL(WINAPI* slot)(HANDLE, LPDCB) __asm__(PATU_IMPORT_SLOT(SetCommState, 8)) = recorder;
// On i686 a WINAPI (stdcall) import carries a leading underscore and the bytes of its
// arguments; a slot named as on x86-64 would be an unused variable there, catching nothing.
#ifdef _WIN64
#define PATU_IMPORT_SLOT(name, argument_bytes) "__imp_" #name
#else
#define PATU_IMPORT_SLOT(name, argument_bytes) "__imp__" #name "@" #argument_bytes
#endif
