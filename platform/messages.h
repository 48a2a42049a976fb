// Every text the program shows to its user, in one place. %s stands for a file name or a text,
// %d for a number (see FormatMessage in errors.h).
#pragma once

namespace msg {

// Files, streams and pictures.
inline constexpr const char* kFileOpen = "ファイル %s は開けません";
inline constexpr const char* kFileCreate = "ファイル %s を作成できません";
inline constexpr const char* kStreamRead = "ストリームからの読み込みエラー";
inline constexpr const char* kStreamWrite = "ストリームへの書き込みエラー";
inline constexpr const char* kInvalidBitmap = "ビットマップイメージが不正です";
inline constexpr const char* kJpegError = "JPEG エラー #%d";
inline constexpr const char* kJpegTooManyScans = "JPEG ファイルのスキャンが多すぎます (%d 個まで)";
inline constexpr const char* kPngInvalid = "PNG イメージが不正です";
inline constexpr const char* kPngTruncated = "PNG ファイルが途中で切れています";
inline constexpr const char* kOutOfMemory = "メモリが足りません";
inline constexpr const char* kImageTooLarge = "画像が大きすぎます";
inline constexpr const char* kRowOutOfRange = "走査線のインデックスが範囲外です";
inline constexpr const char* kMemoryStreamGrow =
    "メモリストリームの拡大中にメモリが足りなくなりました";
inline constexpr const char* kCompressionError = "error";
inline constexpr const char* kInvalidStreamOperation = "Invalid stream operation";
inline constexpr const char* kPngProgress = "PNG形式で保存しています...";
// The question before a changed picture is replaced or the window closes, and its buttons.
inline constexpr const char* kSaveChanges = "変更を保存しますか?";
inline constexpr const char* kSaveButton = "保存";
inline constexpr const char* kDontSaveButton = "保存しない";
inline constexpr const char* kCancelButton = "キャンセル";
inline constexpr const char* kPngDataTooLarge =
    "圧縮した画像データが PNG の 1 つのチャンクに収まりません";

// The type of a folder in the file dialogs' list (Qt's word for it in its own dialogs).
inline constexpr const char* kFolderType = "フォルダ";

// The picture formats in the file dialogs' filter.
inline constexpr const char* kMetafileFormat = "メタファイル";
inline constexpr const char* kEnhancedMetafileFormat = "エンハンス メタファイル";
inline constexpr const char* kIconFormat = "アイコン";
inline constexpr const char* kBitmapFormat = "ビットマップ";
inline constexpr const char* kJpegFormat = "JPEG イメージファイル";
inline constexpr const char* kPngFormat = "PNG イメージファイル";
inline constexpr const char* kAllFormats = "すべてのファイル";

// Effects.
// The mean of a picture without pixels is 0 / 0, an invalid operation.
inline constexpr const char* kInvalidFloatOperation = "浮動小数点演算が不正です";
inline constexpr const char* kDivisionByZero = "0 による除算";

// Errors without a message of their own.
inline constexpr const char* kUnknownError = "error";
inline constexpr const char* kNoApplication = "no application object";

// The window program's command line: its help and its refusals (%s: what was wrong).
inline constexpr const char* kProgramDescription =
    "Opens FILE (a JPEG, PNG or bitmap file, read as the open command reads it) in the image "
    "editor's window.";
inline constexpr const char* kProgramFile = "FILE";
inline constexpr const char* kProgramFileHelp = "the picture to open";
inline constexpr const char* kProgramFileSyntax = "[FILE]";
inline constexpr const char* kProgramOneFile = "one FILE at most";
inline constexpr const char* kProgramUsageError = "lumivane: %s\nTry 'lumivane --help'.\n";

// The command-line tool.
// Its usage: the scan settings' flags (from the scanner's table) follow kBatchUsage, then
// kBatchUsageAfterScan, then the effects' names on its last line.
inline constexpr const char* kBatchUsage =
    "usage: lumivane-batch INPUT [EFFECT ...] OUTPUT\n"
    "       lumivane-batch --scan SOURCE";
inline constexpr const char* kBatchUsageAfterScan =
    "\n"
    "                      [EFFECT ...] OUTPUT\n"
    "       lumivane-batch --list-sources\n"
    "       lumivane-batch --help | --version\n"
    "\n"
    "Reads INPUT as the open command does (JPEG when the name ends in \".jpg\", a bitmap\n"
    "file otherwise; a file that begins as the other format is read as that one, and a PNG\n"
    "file under any name as PNG; a JPEG is turned upright as its EXIF orientation says),\n"
    "applies each EFFECT in order and writes OUTPUT: as a PNG file\n"
    "(8-bit RGB) when its name ends in \".png\", as a bitmap file otherwise.\n"
    "\n"
    "--scan takes the picture from the scanner source named SOURCE instead, without any\n"
    "dialog, with the device's own settings unless the settings above set them: DPI is dots\n"
    "per inch in both directions, LEFT,TOP,RIGHT,BOTTOM millimetres from the glass's top\n"
    "left corner, N the device's own number. A setting the device refuses, or does not\n"
    "offer (in the mode asked for), is an error. OUTPUT is checked before the scan starts;\n"
    "the picture is written before the scanner is released.\n"
    "--all-pages scans every sheet in the feeder (--source feeder unless --source is\n"
    "given), each through the effects, into OUTPUT with -1, -2, ... before its extension;\n"
    "an empty feeder ends the run, and is an error before the first page.\n"
    "--find-document previews the glass, then scans the area of the largest document on\n"
    "it (a device without a scan area scans the whole glass, and the picture is cropped).\n"
    "--straighten turns the largest document on the picture (each page with --all-pages)\n"
    "upright, up to 20 degrees, and crops it; a picture without one is written as scanned.\n"
    "--each-document writes every document on the glass, largest first, cropped (and\n"
    "straightened with --straighten) into OUTPUT with -1, -2, ...; a glass without a\n"
    "document is an error.\n"
    "--list-sources prints the scanner sources, one a line: the name that --scan takes,\n"
    "a tab, then the maker and the model.\n"
    "\n"
    "effects:";
// The problems with its arguments, each printed before the usage.
inline constexpr const char* kUsageNeedsFiles = "INPUT and OUTPUT are needed";
inline constexpr const char* kUsageUnknownOption = "unknown option '%s'";
inline constexpr const char* kUsageNeedsValue = "%s needs a value";
inline constexpr const char* kUsageScanTwice = "--scan given twice";
inline constexpr const char* kUsageScanNeedsOutput = "--scan needs an OUTPUT";
inline constexpr const char* kUsageListSourcesAlone = "--list-sources takes nothing else";
inline constexpr const char* kUsageSettingsWithoutScan =
    "the scan settings and --all-pages go with --scan";
inline constexpr const char* kUsageAllPagesFromFlatbed =
    "--all-pages scans from the feeder, not a flatbed";
inline constexpr const char* kUsageFindDocumentFromFeeder =
    "--find-document previews the glass, which --all-pages does not scan";
inline constexpr const char* kUsageEachDocumentAlone =
    "--each-document goes without --all-pages and --find-document";
inline constexpr const char* kUsageUnknownMode = "unknown mode '%s' (color, gray or lineart)";
inline constexpr const char* kUsageUnknownSource = "unknown source '%s' (flatbed or feeder)";
inline constexpr const char* kUsageBadArea =
    "area '%s' is not LEFT,TOP,RIGHT,BOTTOM in millimetres, left of right and above bottom";
// The upper end is the largest whole part of a fixed-point number.
inline constexpr const char* kUsageBadResolution =
    "resolution '%s' is not a whole number from 1 to 32767";
// The setting's name and the value as given.
inline constexpr const char* kUsageBadNumber = "%s is not a number from -32768 to 32767";
inline constexpr const char* kUnknownEffect = "unknown effect '%s'";
inline constexpr const char* kScanNoImage = "スキャナーから画像が届きませんでした";
inline constexpr const char* kNoScanners = "スキャナーが見つかりません";

// The scanner.
inline constexpr const char* kTwainLibraryMissing = "TWAIN_32.DLLが見つかりません";
// Put before a condition text below.
inline constexpr const char* kTwainErrorPrefix = "TWAIN: ";
inline constexpr const char* kTwainTransferFailed = "転送中にエラー発生";
inline constexpr const char* kTwainTransferCancelled = "キャンセルされました";
inline constexpr const char* kTwainNoSuchSource = "スキャナー %s が見つかりません";
inline constexpr const char* kTwainAmbiguousSource =
    "スキャナー %s に当てはまるスキャナーが複数あります";
// An assertion: "message (source file, line 行)".
inline constexpr const char* kAssertionFailure = "Assertion failure";
inline constexpr const char* kAssertionForm = "%s (%s, %d 行)";
// The texts of the scanner's condition codes.
inline constexpr const char* kTwccSuccess = "It worked!";
inline constexpr const char* kTwccBummer = "Failure due to unknown causes";
inline constexpr const char* kTwccLowMemory = "Not enough memory to perform operation";
inline constexpr const char* kTwccNoDataSource = "No Data Source";
inline constexpr const char* kTwccMaxConnections = "DS is connected to max possible applications";
inline constexpr const char* kTwccOperationError =
    "DS or DSM reported error, application shouldn't";
inline constexpr const char* kTwccBadCap = "Unknown capability";
inline constexpr const char* kTwccBadProtocol = "Unrecognized MSG DG DAT combination";
inline constexpr const char* kTwccBadValue = "Data parameter out of range";
inline constexpr const char* kTwccSeqError = "DG DAT MSG out of expected sequence";
inline constexpr const char* kTwccBadDest = "Unknown destination Application/Source in DSM_Entry";
inline constexpr const char* kTwccCapUnsupported = "Capability not supported by source";
inline constexpr const char* kTwccCapBadOperation = "Operation not supported by capability";
inline constexpr const char* kTwccCapSeqError = "Capability has dependancy on other capability";
inline constexpr const char* kTwccDenied = "File System operation is denied (file is protected)";
inline constexpr const char* kTwccFileExists = "Operation failed because file already exists.";
inline constexpr const char* kTwccFileNotFound = "File not found";
inline constexpr const char* kTwccNotEmpty = "Operation failed because directory is not empty";
inline constexpr const char* kTwccPaperJam = "The feeder is jammed";
inline constexpr const char* kTwccPaperDoubleFeed = "The feeder detected multiple pages";
inline constexpr const char* kTwccFileWriteError =
    "Error writing the file (meant for things like disk full conditions)";
inline constexpr const char* kTwccCheckDeviceOnline =
    "The device went offline prior to or during this operation";

}  // namespace msg
