// Command, control and resource ids. Slot controls of the main window are
// numbered base + slot index (0..5). The resource script includes this file
// and reads only its #define lines.
#pragma once

// Resources and the options dialog's controls, named for the resource script too.
#define kProgramIcon 100
#define kOptionsDialog 3000
#define kOptionsClose 2  // IDCANCEL: Esc, the close box and Enter arrive as this id too
#define kDesktopShortcutBox 3001
#define kSendToShortcutBox 3002
#define kUsePluginsBox 3003
#define kPluginFolderButton 3004
#define kAutoRotateBox 3005
#define kToSrgbBox 3006

#ifndef RC_INVOKED

enum SlotControl : int {
    kSlotGroup = 1000,
    kSlotSizeLabel = 1030,
    kSlotHeightLabel = 1040,
    kSlotEnabled = 1050,
    kSlotWidth = 1060,
    kSlotHeight = 1070,
    kSlotSuffixLabel = 1100,
    kSlotSuffix = 1110,
    kSlotUseSubfolder = 1200,
    kSlotSubfolder = 1210,
    kSlotFolderLabel = 1300,
    kSlotChooseFolder = 1310,
    kSlotClearFolder = 1320,
    kSlotFolder = 1330,
};

enum OptionControl : int {
    kSaveOptionsGroup = 1400,
    kFormatLabel = 1410,
    kFormatList = 1411,
    kQualityLabel = 1420,
    kQualityField = 1421,
    kQualitySpin = 1422,
    kSamplingLabel = 1423,
    kSampling41 = 1424,
    kSampling11 = 1425,
    kSizeLimit = 1426,
    kSizeLimitField = 1427,
    kSizeLimitSpin = 1428,
    kSizeLimitUnit = 1429,
    kShownGroupsLabel = 2000,
    kShownGroupsList = 2001,
    kOptionsButton = 2010,
    kCloseButton = 2020,
    kHelpButton = 2021,
    kVersionButton = 2022,
};

enum MenuCommand : int {
    kAlwaysOnTop = 5000,
    kAlwaysOnTopSeparator = 6000,
};

// The version window's children.
enum VersionControl : int {
    kVersionLink = 100,
    kVersionOk = 101,
    kVersionTitle = 102,
    kVersionNotice = 103,
};

#endif
