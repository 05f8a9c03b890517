// Resource identifiers of Kestrow.exe.
#ifndef KESTROW_RESOURCES_RESOURCE_H
#define KESTROW_RESOURCES_RESOURCE_H

// The application icon. Windows shows the icon group with the lowest
// identifier as the program's icon.
#define IDR_MAINFRAME 128

#endif
