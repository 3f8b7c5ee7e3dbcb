// Control numbers of the windows and dialogs. Every widget that the logic
// reaches carries the object name controlName(id) ("idc1024"), so tests and
// tools find the same control the tables of the program relate to.
#pragma once

#include <QString>

inline QString controlName(int id) { return QStringLiteral("idc%1").arg(id); }

namespace idc {

// Main window.
inline constexpr int kHide = 1000;
inline constexpr int kSelectedUser = 1006;
inline constexpr int kMessage = 1012;
inline constexpr int kSwitchUser = 1023;
inline constexpr int kConnect = 1024;
inline constexpr int kSkypeStatus = 1025;
inline constexpr int kModeLabel = 1026;
inline constexpr int kSystemSettings = 1055;
inline constexpr int kLogList = 1057;
inline constexpr int kForwardSettings = 1058;
inline constexpr int kModeText = 1063;
inline constexpr int kUserStatus = 1064;
inline constexpr int kClock = 1065;
inline constexpr int kVersionLine = 1066;
inline constexpr int kLampHeadL = 1103;
inline constexpr int kLogToggle = 1114;
inline constexpr int kThroughput0 = 1122;  // 1122 + service

// Per service 0..4 (FTP, setting 1..4); 0 where the service has none.
inline constexpr int kServiceCheck[5] = {1003, 1005, 1007, 1009, 1010};
inline constexpr int kClientPort[5] = {1100, 1101, 1102, 1119, 1120};
inline constexpr int kPortEdit[5] = {0, 1115, 1116, 1042, 1044};
inline constexpr int kForwardHostLabel[5] = {1086, 1087, 1088, 1089, 1090};
inline constexpr int kForwardPortLabel[5] = {1096, 1092, 1093, 1094, 1095};
// Lamp rows: FTP control, FTP data, setting 1..4.
inline constexpr int kLampL[6] = {1032, 1043, 1034, 1036, 1038, 1040};
inline constexpr int kLampC[6] = {1045, 1033, 1035, 1037, 1039, 1041};
inline constexpr int kLampP[6] = {1047, 1048, 1049, 1050, 1051, 1052};

// System settings dialog.
inline constexpr int kServerMode = 1001;
inline constexpr int kClientMode = 1002;
inline constexpr int kSoundOff = 1128;
inline constexpr int kSoundOn = 1127;
inline constexpr int kOpenWindowOpen = 1104;
inline constexpr int kOpenWindowClosed = 1105;
inline constexpr int kAcceptGroup = 1112;
inline constexpr int kAcceptSelected = 1068;
inline constexpr int kAcceptContacts = 1110;
inline constexpr int kAutoConnectGroup = 1113;
inline constexpr int kAutoConnect = 1106;
inline constexpr int kAutoConnectUser = 1111;
inline constexpr int kOk = 1;
inline constexpr int kCancel = 2;

// Forward settings dialog, per service 0..4.
inline constexpr int kLocalhostBox[5] = {1082, 1085, 1088, 1091, 1094};
inline constexpr int kHostEdit[5] = {1083, 1086, 1089, 1092, 1095};
inline constexpr int kForwardPortEdit[5] = {1084, 1087, 1090, 1093, 1096};
inline constexpr int kForwardOk = 1098;

// Port dialog and version dialog.
inline constexpr int kPortSpin = 1117;
inline constexpr int kVersionText = 1099;

}  // namespace idc
