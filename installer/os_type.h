// The running Windows version, as one byte.
#ifndef KESTROW_INSTALLER_OS_TYPE_H
#define KESTROW_INSTALLER_OS_TYPE_H

typedef unsigned char OsType;

// The values are compared as numbers and never change. They are not in
// version order: Windows Me (15) lies between the NT codes.
enum : OsType {
    OS_UNKNOWN = 0,
    OS_WIN32S = 9,
    OS_WIN95 = 10,
    OS_WIN98 = 11,
    OS_WIN98SE = 12,
    OS_WINNT4 = 13,
    OS_WIN2000 = 14,
    OS_WINME = 15,
    OS_WINXP = 16,
};

// The classification of this run; 0 until GetOsType writes it.
extern OsType g_osType;

// Reads the platform's version record and writes its code through out.
// Returns 1 when the version was read and classified; 0 when it could not be
// read (out unchanged) or the platform is not one of the three Windows
// families (out set to 0), each after a plain message box.
int GetOsType(OsType* out);

#endif
