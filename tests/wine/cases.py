"""The end-to-end cases: each a machine set-up for Kestrow.exe under Wine and
what the run must leave behind. run_case.py runs one of them; ctest runs
each as its own test."""

from dataclasses import dataclass

UNATTENDED_TAIL = '-s -f2"c:\\csb.log"'
MARKER_BYTES = b"c:\\csb.log"

# Stand-in driver files: made-up bytes, never real drivers. The INF holds a
# CR LF and the drivers a NUL and high bytes, so a copy that translates line
# ends or stops at a zero byte shows.
DRIVER_FILES = {
    # name in owc: (destination below the Windows directory, contents)
    "iusb2.inf": ("inf\\iusb2.inf", b"; stand-in INF for the Kestrow tests\r\n[Version]\r\n"),
    "iusbehci.sys": ("system32\\drivers\\iusbehci.sys", b"MZ stand-in EHCI\x00\x01\xfe\xff" * 64),
    "iusb2hub.sys": ("system32\\drivers\\iusb2hub.sys", b"MZ stand-in hub\x00\r\n\x80" * 48),
}
ALL_DRIVER_FILES = tuple(DRIVER_FILES)

CONTROLLER = "VEN_8086&DEV_24CD&SUBSYS_24CD8086&REV_02"

# Devices below HKLM\Enum\PCI, in Wine's enumeration order (sorted by name), each
# with exactly one instance key: under the Windows 98 version setting Wine's
# RegDeleteKeyA cannot remove a key that has two or more subkeys.
#   (device key, instance key, values of the instance)
OTHER_USB = ("VEN_10B9&DEV_5237", "BUS_00&DEV_0F&FUNC_00", {"DeviceDesc": "OHCI controller"})
NEAR_MISS = ("VEN_8086&DEV_24C2&SUBSYS_24C28086&REV_02", "BUS_00&DEV_1D&FUNC_00",
             {"DeviceDesc": "USB UHCI controller"})
CONTROLLER_DEVICE = (CONTROLLER, "BUS_00&DEV_1D&FUNC_07",
                     {"DeviceDesc": "USB 2.0 enhanced host controller", "Driver": "USB\\0003"})
LATER_DEVICE = ("VEN_8086&DEV_24D0&SUBSYS_00000000&REV_02", "BUS_00&DEV_1F&FUNC_00",
                {"DeviceDesc": "LPC interface"})
STANDARD_PCI = (OTHER_USB, NEAR_MISS, CONTROLLER_DEVICE, LATER_DEVICE)


# Code page 950 (Big5): 0xA5 0x56 is one character whose trail byte is "V".
BIG5_TRAIL_V = b"\xa5V".decode("cp950")


def long_name(length):
    """A device key name of `length` characters that sorts before the
    controller."""
    stem = "VEN_10B9&DEV_5237&SUBSYS_"
    return stem + "0" * (length - len(stem))


# Expected boxes: (text, type). Every box's title is the program's base name.
REFUSAL = ("This program only for 9x-me !!", 0x30)
RESTART_PROMPT = ("Install finished,You need to reboot !!", 0x31)
COPY_FAILED = ("Copy driver file fail !!", 0x30)
NO_KEY_COUNT = ("Get keyCount fail !!", 0x30)
ENUM_FAILED = ("Enum Key Fail !!", 0x30)
NO_DEL_KEY = ("Get del key fail !!", 0x30)


@dataclass(frozen=True)
class Case:
    version: str                       # Wine's version setting for Kestrow.exe
    tail: str = ""                     # command-line tail after the program's path
    pci: tuple = STANDARD_PCI          # devices below Enum\PCI, names as text; None: no key
    owc_files: tuple = ALL_DRIVER_FILES  # stand-ins present in the owc folder
    display: bool = False              # run under Xvfb and answer the boxes
    answers: tuple = ()                # xdotool key per box, in order (display only)
    boxes: tuple = ()                  # expected boxes, in order
    placed: tuple = ()                 # driver files expected below the Windows directory
    deleted: str = None                # the device key expected to be gone
    marker: bool = False               # c:\csb.log expected, holding MARKER_BYTES
    marker_is_folder: bool = False     # c:\csb.log is a folder: the marker cannot be made
    restart: bool = False              # ExitWindowsEx(EWX_REBOOT, 0) expected
    screenshot: str = None             # file name for a screenshot of the first box
    code_page: int = 1252              # Wine's ANSI code page, set through the locale

    @property
    def locale(self):
        return LOCALES[self.code_page]

    @property
    def codec(self):
        """Python's name for the code page: registry names and the relay
        trace's text are its bytes."""
        return "cp%d" % self.code_page


# The locale that gives Wine each ANSI code page.
LOCALES = {1252: "C.UTF-8", 950: "zh_TW.UTF-8"}


# A run that placed all three files and deleted the controller's key.
INSTALLED = dict(placed=ALL_DRIVER_FILES, deleted=CONTROLLER)


def refused(version, tail=""):
    """Refusal: one box, and nothing placed, deleted, written or restarted."""
    return Case(version, tail, boxes=(REFUSAL,))


CASES = {
    # The two supported systems, unattended: no box, no restart, the marker.
    "unattended_win98se": Case("win98", UNATTENDED_TAIL, marker=True, **INSTALLED),
    "unattended_winme": Case("winme", UNATTENDED_TAIL, marker=True, **INSTALLED),

    # Interactive endings. Under Xvfb the prompt is a real window, answered
    # with a key; without a display Wine cannot show it and the run ends
    # without a restart.
    "interactive_ok_restarts": Case("win98", display=True, answers=("Return",),
                                    boxes=(RESTART_PROMPT,), restart=True,
                                    screenshot="kestrow-restart-prompt.png", **INSTALLED),
    "interactive_cancel_no_restart": Case("winme", display=True, answers=("Escape",),
                                          boxes=(RESTART_PROMPT,), **INSTALLED),
    "interactive_no_display_no_restart": Case("win98", boxes=(RESTART_PROMPT,), **INSTALLED),
    # Only the exact tail is unattended.
    "upper_case_tail_is_interactive": Case("win98", UNATTENDED_TAIL.upper(),
                                           boxes=(RESTART_PROMPT,), **INSTALLED),
    "tail_with_trailing_blank_is_interactive": Case("winme", UNATTENDED_TAIL + " ",
                                                    boxes=(RESTART_PROMPT,), **INSTALLED),

    # Every other system is refused before anything is touched, whatever the
    # command line.
    "refused_win95": refused("win95"),
    "refused_nt40": refused("nt40"),
    "refused_win2k": refused("win2k", UNATTENDED_TAIL),
    "refused_winxp": refused("winxp"),
    "refused_win10": refused("win10", UNATTENDED_TAIL),

    # The marker cannot be created (c:\csb.log is a folder, which neither
    # DeleteFileA nor CreateFileA takes): the run ends as if it had been
    # written, without a box, and the folder is left as it was.
    "unattended_marker_cannot_be_created": Case("win98", UNATTENDED_TAIL, marker_is_folder=True,
                                                **INSTALLED),

    # Registry failures: the files are already placed, nothing in the
    # registry changes, and the unattended run reports them too, without
    # writing the marker.
    "no_enum_pci_key": Case("win98", UNATTENDED_TAIL, pci=None,
                            boxes=(NO_KEY_COUNT, NO_DEL_KEY), placed=ALL_DRIVER_FILES),
    "no_controller_key": Case("winme", UNATTENDED_TAIL,
                              pci=(OTHER_USB, NEAR_MISS, LATER_DEVICE),
                              boxes=(NO_DEL_KEY,), placed=ALL_DRIVER_FILES),
    # A name of 255 characters does not fit the 255 bytes offered with its
    # terminator; one of 254 does, and the search goes on to the controller.
    "subkey_name_255_chars_fails": Case(
        "win98", pci=((long_name(255), "BUS_00&DEV_01&FUNC_00", {}),) + STANDARD_PCI,
        boxes=(ENUM_FAILED, NO_DEL_KEY), placed=ALL_DRIVER_FILES),
    "subkey_name_254_chars_is_read": Case(
        "win98", UNATTENDED_TAIL,
        pci=((long_name(254), "BUS_00&DEV_01&FUNC_00", {}),) + STANDARD_PCI,
        marker=True, **INSTALLED),

    # Double-byte names on code page 950: the search steps over a lead byte
    # and its trail byte together. In the first name the "V" of the device
    # ID is that trail byte, so it does not match; in the second a whole
    # character precedes the ID, which matches. Only the second is deleted.
    "dbcs_trail_byte_cp950": Case(
        "win98", UNATTENDED_TAIL, code_page=950, marker=True, placed=ALL_DRIVER_FILES,
        pci=((BIG5_TRAIL_V + "EN_8086&DEV_24CD&SUBSYS_24CD8086", "BUS_00&DEV_1D&FUNC_07",
              {"DeviceDesc": "trail byte V"}),
             (BIG5_TRAIL_V + "VEN_8086&DEV_24CD", "BUS_00&DEV_1D&FUNC_00",
              {"DeviceDesc": "whole character before the ID"})),
        deleted=BIG5_TRAIL_V + "VEN_8086&DEV_24CD"),

    # Missing driver files: the others are still copied, then one box, and the
    # registry is left alone so that Windows keeps the working driver.
    "missing_driver_file": Case("win98", UNATTENDED_TAIL,
                                owc_files=("iusb2.inf", "iusb2hub.sys"),
                                boxes=(COPY_FAILED,), placed=("iusb2.inf", "iusb2hub.sys")),
    "missing_owc_folder": Case("winme", owc_files=(), boxes=(COPY_FAILED,)),
}

