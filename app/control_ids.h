// Command and control ids of the main window. Slot controls are numbered
// base + slot index (0..5).
#pragma once

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

// The options dialog's resource.
constexpr int kOptionsDialog = 3000;
// The program icon's resource.
constexpr int kProgramIcon = 100;
