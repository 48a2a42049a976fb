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
inline constexpr const char* kAllFormats = "すべてのファイル";

// Effects.
// The mean of a picture without pixels is 0 / 0, an invalid operation.
inline constexpr const char* kInvalidFloatOperation = "浮動小数点演算が不正です";
inline constexpr const char* kDivisionByZero = "0 による除算";

// Errors without a message of their own.
inline constexpr const char* kUnknownError = "error";
inline constexpr const char* kNoApplication = "no application object";

// The command-line tool.
inline constexpr const char* kUnknownEffect = "unknown effect '%s'";
inline constexpr const char* kScanNoImage = "スキャナーから画像が届きませんでした";
inline constexpr const char* kScanModeRefused = "読み取りモード %s を設定できません: ";
inline constexpr const char* kScanResolutionRefused = "解像度 %s dpi を設定できません: ";
inline constexpr const char* kScanAreaRefused = "読み取り範囲 %s mm を設定できません: ";
inline constexpr const char* kScanSourceRefused = "原稿の読み取り元 %s を設定できません: ";
inline constexpr const char* kScanBrightnessRefused = "明るさ %s を設定できません: ";
inline constexpr const char* kScanContrastRefused = "コントラスト %s を設定できません: ";
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
