#pragma once

// User-visible texts in the built-in English and Russian tables, the process-wide current
// language, native language names and the languages of the installed keyboard layouts.
//
// Accessors: every text identifier txtXxx has the parameterless accessor TextXxx() (the
// identifier with "txt" replaced by "Text"), returning CurrentText(txtXxx). txtProjectsFiles
// and txtAllFiles have none; they are reached through the file-dialog filters.
//
// Languages are Windows language identifiers (LANGID values): 1033 English (United States),
// 1049 Russian, 1031 German, ... Any value may be passed anywhere.

#include <QString>
#include <QtGlobal>

#include <vector>

enum TTextId : int {
    txtFileName = 0,
    txtFileAddress = 1,
    txtCreateDate = 2,
    txtLastEditDate = 3,
    txtLastAccessDate = 4,
    txtSize = 5,
    txtThreadId = 6,
    txtThreadWorksCount = 7,
    txtThreadLastStartTime = 8,
    txtThreadState = 9,
    txtThreadWorkAddress = 10,
    txtSearchingStarted = 11,
    txtSearchingIsStarting = 12,
    txtSearchingIsWorking = 13,
    txtSearchingIsStopping = 14,
    txtSearchingStoppedSuccessfully = 15,
    txtSearchingStoppedWithError = 16,
    txtUserHasStoppedTheSearching = 17,
    txtThreadIsWaiting = 18,
    txtThreadIsWorking = 19,
    txtThreadHasStoppedWithError = 20,
    txtThreadHasStoppedWithTimeout = 21,
    txtSearch = 22,
    txtRun = 23,
    txtContinue = 24,
    txtStop = 25,
    txtFile = 26,
    txtNew = 27,
    txtOpen = 28,
    txtSave = 29,
    txtSaveAs = 30,
    txtExit = 31,
    txtTree = 32,
    txtAdd = 33,
    txtDelete = 34,
    txtPack = 35,
    txtResearchFromCurrent = 36,
    txtOpenFileWith = 37,
    txtMaxThreads = 38,
    txtMaxFoldersDepth = 39,
    txtMaxThreadLife = 40,
    txtMasks = 41,
    txtCancel = 42,
    txtAddRange = 43,
    txtRangeName = 44,
    txtFirstIp = 45,
    txtLastIp = 46,
    txtSaveProjectQuestion = 47,
    txtProjectsFiles = 48,
    txtAllFiles = 49,
    txtProject = 50,
    txtProjects = 51,
    txtLanguages = 52,
    txtTranslateRequest = 53,
    txtSendTranslation = 54,
    // Beyond the translation request's vocabulary (TextCount): connecting as a user.
    txtConnectAs = 55,
    txtConnectHostAs = 56,
    txtUser = 57,
    txtUserForms = 58,
    txtPassword = 59,
    txtUseKerberosTicket = 60,
    txtGuest = 61,
    txtRememberPassword = 62,
    txtNoSecretStore = 63,
    txtAsOtherHosts = 64,
    txtKerberosTicket = 65,
    // The end of a search: how many of its tasks failed ("%1" the count).
    txtTasksFailed = 66,
    // How long a silent address is waited for, in milliseconds.
    txtConnectTimeout = 67,
    // Adding ranges from a list of targets
    txtAddTargets = 68,
    txtAddTargetsTitle = 69,
    txtFromFile = 70,
    txtTargetsCount = 71,
    txtRangesOverlap = 72,
    txtTargetsLine = 73,
    txtTargetNoAddress = 74,
    txtTargetAddressMissing = 75,
    txtTargetOctetOver255 = 76,
    txtTargetBadPrefix = 77,
    txtTargetEndsBeforeStart = 78,
    txtTargetExclusionFirst = 79,
    txtTargetTextAfter = 80,
    txtFileNotText = 81,
    txtFileCanNotRead = 82,
    txtLargeRange = 83,
    txtAllowLargeRanges = 84,
    // Search menu: NetBIOS names where DNS has none, servers that speak only SMB1.
    txtNetbiosNames = 85,
    txtAllowSmb1 = 86,
    // The start after a run that did not end cleanly: "%1" the project's name, "%2" its node
    // count, "%3" when it was written.
    txtRecoverProjectQuestion = 87,
    txtLastText = txtRecoverProjectQuestion,
};

using TDWordArray = std::vector<quint32>;

inline constexpr quint32 LangEnglish = 1033;
inline constexpr quint32 LangRussian = 1049;

// 55: the identifiers the translation request hands out, 0 to TextCount() - 1. The tables go on
// to txtLastText; an identifier beyond it gives "...".
int TextCount();

// The text of an identifier in a language. English and Russian answer from their tables
// ("..." for an identifier out of range); every other language, 0 included, answers with its
// native name and the English text in parentheses. Never fails.
QString LanguageText(quint32 language, int id);
QString CurrentText(int id);

// 0 until the main window has restored or defaulted its settings. Safe from any thread.
quint32 CurrentLanguage();
void SetCurrentLanguage(quint32 language);

// {1033, 1049}; the first is the default language.
TDWordArray BuiltInLanguages();

// The language's own name for itself, without regional qualifiers ("English" for 1033 and
// 2057, "русский", "Deutsch"). A LANGID missing from the table falls back to its primary
// language; one that stays unknown, 0 included, is named "Language <decimal id>".
QString NativeLanguageName(quint32 language);

// Languages of the keyboard layouts whose low 8 bits are neither English nor Russian, in the
// system's order, duplicates kept. The environment variable ORVANE_KEYBOARD_LANGUAGES
// (comma-separated LANGIDs, decimal or 0x hexadecimal) replaces the system's layouts when set.
TDWordArray OtherKeyboardLanguages();

// LANGID of an XKB layout name ("us", "ru", "de", "de(nodeadkeys)"); 0 when unknown.
quint32 XkbLayoutLanguage(const QString& layout);

// File-dialog filters as description|pattern pairs:
// "Projects files (*.kxor)|*.kxor|All files(*.*)|*.*" and "*.txt|*.txt|All files(*.*)|*.*".
QString ProjectFileFilter();
QString TextFileFilter();
// The same filters in QFileDialog's form: "Projects files (*.kxor);;All files(*.*)".
QString ProjectFileFilterQt();
QString TextFileFilterQt();
// Converts a description|pattern list into QFileDialog's ";;" form.
QString FilterToQt(const QString& filter);

inline QString TextFileName() {
    return CurrentText(txtFileName);
}
inline QString TextFileAddress() {
    return CurrentText(txtFileAddress);
}
inline QString TextCreateDate() {
    return CurrentText(txtCreateDate);
}
inline QString TextLastEditDate() {
    return CurrentText(txtLastEditDate);
}
inline QString TextLastAccessDate() {
    return CurrentText(txtLastAccessDate);
}
inline QString TextSize() {
    return CurrentText(txtSize);
}
inline QString TextThreadId() {
    return CurrentText(txtThreadId);
}
inline QString TextThreadWorksCount() {
    return CurrentText(txtThreadWorksCount);
}
inline QString TextThreadLastStartTime() {
    return CurrentText(txtThreadLastStartTime);
}
inline QString TextThreadState() {
    return CurrentText(txtThreadState);
}
inline QString TextThreadWorkAddress() {
    return CurrentText(txtThreadWorkAddress);
}
inline QString TextSearchingStarted() {
    return CurrentText(txtSearchingStarted);
}
inline QString TextSearchingIsStarting() {
    return CurrentText(txtSearchingIsStarting);
}
inline QString TextSearchingIsWorking() {
    return CurrentText(txtSearchingIsWorking);
}
inline QString TextSearchingIsStopping() {
    return CurrentText(txtSearchingIsStopping);
}
inline QString TextSearchingStoppedSuccessfully() {
    return CurrentText(txtSearchingStoppedSuccessfully);
}
inline QString TextSearchingStoppedWithError() {
    return CurrentText(txtSearchingStoppedWithError);
}
inline QString TextUserHasStoppedTheSearching() {
    return CurrentText(txtUserHasStoppedTheSearching);
}
inline QString TextThreadIsWaiting() {
    return CurrentText(txtThreadIsWaiting);
}
inline QString TextThreadIsWorking() {
    return CurrentText(txtThreadIsWorking);
}
inline QString TextThreadHasStoppedWithError() {
    return CurrentText(txtThreadHasStoppedWithError);
}
inline QString TextThreadHasStoppedWithTimeout() {
    return CurrentText(txtThreadHasStoppedWithTimeout);
}
inline QString TextSearch() {
    return CurrentText(txtSearch);
}
inline QString TextRun() {
    return CurrentText(txtRun);
}
inline QString TextContinue() {
    return CurrentText(txtContinue);
}
inline QString TextStop() {
    return CurrentText(txtStop);
}
inline QString TextFile() {
    return CurrentText(txtFile);
}
inline QString TextNew() {
    return CurrentText(txtNew);
}
inline QString TextOpen() {
    return CurrentText(txtOpen);
}
inline QString TextSave() {
    return CurrentText(txtSave);
}
inline QString TextSaveAs() {
    return CurrentText(txtSaveAs);
}
inline QString TextExit() {
    return CurrentText(txtExit);
}
inline QString TextTree() {
    return CurrentText(txtTree);
}
inline QString TextAdd() {
    return CurrentText(txtAdd);
}
inline QString TextDelete() {
    return CurrentText(txtDelete);
}
inline QString TextPack() {
    return CurrentText(txtPack);
}
inline QString TextResearchFromCurrent() {
    return CurrentText(txtResearchFromCurrent);
}
inline QString TextOpenFileWith() {
    return CurrentText(txtOpenFileWith);
}
inline QString TextMaxThreads() {
    return CurrentText(txtMaxThreads);
}
inline QString TextMaxFoldersDepth() {
    return CurrentText(txtMaxFoldersDepth);
}
inline QString TextMaxThreadLife() {
    return CurrentText(txtMaxThreadLife);
}
inline QString TextMasks() {
    return CurrentText(txtMasks);
}
inline QString TextCancel() {
    return CurrentText(txtCancel);
}
inline QString TextAddRange() {
    return CurrentText(txtAddRange);
}
inline QString TextRangeName() {
    return CurrentText(txtRangeName);
}
inline QString TextFirstIp() {
    return CurrentText(txtFirstIp);
}
inline QString TextLastIp() {
    return CurrentText(txtLastIp);
}
inline QString TextSaveProjectQuestion() {
    return CurrentText(txtSaveProjectQuestion);
}
inline QString TextProject() {
    return CurrentText(txtProject);
}
inline QString TextProjects() {
    return CurrentText(txtProjects);
}
inline QString TextLanguages() {
    return CurrentText(txtLanguages);
}
inline QString TextTranslateRequest() {
    return CurrentText(txtTranslateRequest);
}
inline QString TextSendTranslation() {
    return CurrentText(txtSendTranslation);
}
inline QString TextConnectAs() {
    return CurrentText(txtConnectAs);
}
inline QString TextConnectHostAs() {
    return CurrentText(txtConnectHostAs);
}
inline QString TextUser() {
    return CurrentText(txtUser);
}
inline QString TextUserForms() {
    return CurrentText(txtUserForms);
}
inline QString TextPassword() {
    return CurrentText(txtPassword);
}
inline QString TextUseKerberosTicket() {
    return CurrentText(txtUseKerberosTicket);
}
inline QString TextGuest() {
    return CurrentText(txtGuest);
}
inline QString TextRememberPassword() {
    return CurrentText(txtRememberPassword);
}
inline QString TextNoSecretStore() {
    return CurrentText(txtNoSecretStore);
}
inline QString TextAsOtherHosts() {
    return CurrentText(txtAsOtherHosts);
}
inline QString TextKerberosTicket() {
    return CurrentText(txtKerberosTicket);
}
inline QString TextTasksFailed(int count) {
    return CurrentText(txtTasksFailed).arg(count);
}
inline QString TextConnectTimeout() {
    return CurrentText(txtConnectTimeout);
}
inline QString TextAddTargets() {
    return CurrentText(txtAddTargets);
}
inline QString TextAddTargetsTitle() {
    return CurrentText(txtAddTargetsTitle);
}
inline QString TextFromFile() {
    return CurrentText(txtFromFile);
}
// The counts come formatted, in the current language's digit grouping.
inline QString TextTargetsCount(const QString& ranges, const QString& addresses) {
    return CurrentText(txtTargetsCount).arg(ranges, addresses);
}
inline QString TextRangesOverlap(const QString& count) {
    return CurrentText(txtRangesOverlap).arg(count);
}
inline QString TextTargetsLine(int line, const QString& what) {
    return CurrentText(txtTargetsLine).arg(line).arg(what);
}
inline QString TextTargetNoAddress(const QString& piece) {
    return CurrentText(txtTargetNoAddress).arg(piece);
}
inline QString TextTargetAddressMissing() {
    return CurrentText(txtTargetAddressMissing);
}
inline QString TextTargetOctetOver255(const QString& piece) {
    return CurrentText(txtTargetOctetOver255).arg(piece);
}
inline QString TextTargetBadPrefix(const QString& piece) {
    return CurrentText(txtTargetBadPrefix).arg(piece);
}
inline QString TextTargetEndsBeforeStart(const QString& piece) {
    return CurrentText(txtTargetEndsBeforeStart).arg(piece);
}
inline QString TextTargetExclusionFirst() {
    return CurrentText(txtTargetExclusionFirst);
}
inline QString TextTargetTextAfter(const QString& piece) {
    return CurrentText(txtTargetTextAfter).arg(piece);
}
inline QString TextFileNotText(const QString& file, int line) {
    return CurrentText(txtFileNotText).arg(file).arg(line);
}
inline QString TextFileCanNotRead(const QString& file, const QString& reason) {
    return CurrentText(txtFileCanNotRead).arg(file, reason);
}
inline QString TextLargeRange(const QString& range, const QString& count) {
    return CurrentText(txtLargeRange).arg(range, count);
}
inline QString TextAllowLargeRanges() {
    return CurrentText(txtAllowLargeRanges);
}
inline QString TextNetbiosNames() {
    return CurrentText(txtNetbiosNames);
}
inline QString TextAllowSmb1() {
    return CurrentText(txtAllowSmb1);
}
inline QString TextRecoverProjectQuestion(const QString& project, int nodes, const QString& when) {
    return CurrentText(txtRecoverProjectQuestion).arg(project).arg(nodes).arg(when);
}
