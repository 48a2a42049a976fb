// Every text the scanner manager shows, in one place; a text that the program's own catalogue
// (platform/messages.h) holds is taken from there.
#pragma once

#include <algorithm>
#include <array>
#include <string_view>

#include "platform/messages.h"

namespace scanner {

// A text of the program's catalogue as a sentence of the scanner's dialogs, which end with "。".
template <const char* const& kText>
inline constexpr auto kSentence = [] {
  constexpr std::string_view text = kText, stop = "。";
  std::array<char, text.size() + stop.size() + 1> sentence{};
  std::copy(stop.begin(), stop.end(), std::copy(text.begin(), text.end(), sentence.begin()));
  return sentence;
}();

// Selection dialog.
inline constexpr const char* kSelectTitle = "スキャナーの選択";
inline constexpr const char* kSearching = "スキャナーを探しています…";
inline constexpr const char* kSelectButton = "選択";
inline constexpr const char* kCancelButton = msg::kCancelButton;
inline constexpr const char* kRescanButton = "再検索";
inline constexpr const char* kDeviceHeaderVendor = "メーカー";
inline constexpr const char* kDeviceHeaderModel = "モデル";
inline constexpr const char* kDeviceHeaderName = "デバイス名";
inline constexpr const char* kNoDevices =
    "スキャナーが見つかりません。\n"
    "・パッケージ libsane1 と sane-utils をインストールしてください。\n"
    "・ネットワーク接続や USB 複合機には sane-airscan と ipp-usb も必要です。\n"
    "・端末で scanimage -L を実行すると、SANE が認識している機器が表示されます。\n"
    "・ユーザーを scanner グループに追加する必要がある場合があります。\n"
    "確認したら「再検索」を押してください。";
inline constexpr const char* kNoSaneLibrary =
    "スキャナーのライブラリ libsane.so.1 が読み込めません。\n"
    "パッケージ libsane1 をインストールしてください (sudo apt install libsane1 sane-utils)。";
inline constexpr const char* kSearchFailed = "スキャナーの検索に失敗しました: ";

// Source dialog.
inline constexpr const char* kScanTitle = "スキャン";
inline constexpr const char* kModeLabel = "モード";
inline constexpr const char* kModeColor = "カラー";
inline constexpr const char* kModeGray = "グレースケール";
inline constexpr const char* kModeLineart = "白黒";
inline constexpr const char* kResolutionLabel = "解像度";
inline constexpr const char* kAreaLabel = "読み取り範囲";
inline constexpr const char* kAreaLeft = "左";
inline constexpr const char* kAreaTop = "上";
inline constexpr const char* kAreaRight = "右";
inline constexpr const char* kAreaBottom = "下";
inline constexpr const char* kSourceLabel = "原稿";
inline constexpr const char* kSourceFlatbed = "フラットベッド";
inline constexpr const char* kSourceFeeder = "ADF (自動原稿送り)";
inline constexpr const char* kBrightnessLabel = "明るさ";
inline constexpr const char* kContrastLabel = "コントラスト";
inline constexpr const char* kThresholdLabel = "しきい値";
// The batch tool's sentence when a device refuses a setting's value (%s), before the device's
// condition text.
inline constexpr const char* kScanModeRefused = "読み取りモード %s を設定できません: ";
inline constexpr const char* kScanResolutionRefused = "解像度 %s dpi を設定できません: ";
inline constexpr const char* kScanAreaRefused = "読み取り範囲 %s mm を設定できません: ";
inline constexpr const char* kScanSourceRefused = "原稿の読み取り元 %s を設定できません: ";
// The same for a setting without a sentence of its own: its label (%s), then the value (%s).
inline constexpr const char* kSettingRefused = "%s %s を設定できません: ";
// The units of numbers in the dialog, after the value.
inline constexpr const char* kUnitMillimetre = " mm";
inline constexpr const char* kUnitPixel = " px";
inline constexpr const char* kUnitDpi = " dpi";
inline constexpr const char* kUnitPercent = " %";
inline constexpr const char* kSizeForm = "%1 × %2 ピクセル、%3";
inline constexpr const char* kMegabytes = "%1 MB";
inline constexpr const char* kKilobytes = "%1 KB";
// The buttons that start a scan have keys of their own (Alt and the letter); Return does not
// start them.
inline constexpr const char* kPreviewButton = "プレビュー(&P)";
inline constexpr const char* kWholeGlassButton = "全体";
inline constexpr const char* kDetectCheck = "自動検出";
inline constexpr const char* kStraightenCheck = "傾き補正";
// The scan reached the program as it was scanned (straightening it ran out of memory).
inline constexpr const char* kStraightenFailed =
    "メモリが足りないため、傾き補正せずにスキャンした画像を渡しました。";
inline constexpr const char* kPaneKeys =
    "マウスで範囲を描きます。矢印キーで範囲を移動、Shift+矢印キーで大きさを変更します。";
inline constexpr const char* kDeviceLine = "スキャナー: %1";
inline constexpr const char* kSizeUnknownHeight = "幅 %1 ピクセル (高さは読み取り後に決まります)";
inline constexpr const char* kScanButton = "スキャン(&S)";
inline constexpr const char* kCloseButton = "閉じる";
inline constexpr const char* kScanning = "スキャンしています…";
inline constexpr const char* kPreviewed = "プレビューしました";
inline constexpr const char* kScanCancelled = "スキャンを中止しました。";
inline constexpr const char* kPictureTooLarge =
    "画像が大きすぎます。解像度か読み取り範囲を小さくしてください。";
inline constexpr const char* kProgressTitle = "スキャン中";

// Device conditions, as shown in the dialogs.
inline constexpr const char* kDeviceBusy = "スキャナーは他のプログラムが使用中です。";
inline constexpr const char* kPaperJam = "紙詰まりが発生しました。";
inline constexpr const char* kNoDocuments = "原稿がありません。";
// Nothing on the scanned glass that stands out as a document (the batch tool's --each-document).
inline constexpr const char* kNoDocumentFound = "ガラスの上に原稿が見つかりません。";
// The batch tool wrote the scan as it came (cropping or straightening it ran out of memory).
inline constexpr const char* kCropFailed =
    "メモリが足りないため、切り抜き・傾き補正せずにスキャンした画像を書き込みました。";
inline constexpr const char* kCoverOpen = "スキャナーのカバーが開いています。";
inline constexpr const char* kIoError = "スキャナーとの通信でエラーが発生しました。";
inline constexpr const char* kOutOfMemory = kSentence<msg::kOutOfMemory>.data();
inline constexpr const char* kAccessDenied = "スキャナーへのアクセスが拒否されました。";
inline constexpr const char* kInvalidValue = "スキャナーが受け付けない設定です。";
inline constexpr const char* kUnsupported = "スキャナーがこの操作に対応していません。";
inline constexpr const char* kDeviceError = "スキャナーでエラーが発生しました。";
inline constexpr const char* kNotResponding = "スキャナーが応答しません。";

// Image data the program cannot take.
inline constexpr const char* kNoImageData = "画像データがありません。";
inline constexpr const char* kUnsupportedDepth = "この色深度の画像には対応していません。";
inline constexpr const char* kBadFrameLayout =
    "スキャナーから受け取った画像の形式に対応していません。";
inline constexpr const char* kBadImageData =
    "スキャナーから受け取った画像データが予告と一致しません。";

// Settings of the scan dialog added later.

}  // namespace scanner
