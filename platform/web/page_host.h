// The browser page's side of the program, declared in one place.
//
// The program runs in the page as WebAssembly; everything it needs from the
// browser (WebHID, the page's elements, the event queue, the clock) is
// done by the page's own script (page.js), which hands the program one
// object, its host, when it starts the module. These functions are the whole
// surface between the two; the calls marked "waits" suspend the program
// (Asyncify) until the page's promise settles, and nothing calls into the
// program while it is suspended.
//
// Texts cross as UTF-8; handles and list ids are the page's own numbers, 0
// meaning none.
#pragma once

#include <cstdint>
#include <string>

// HID (page.js: WebHID). Paths are "webhid:<n>".

// Whether navigator.hid is a stand-in put on the page (an own property of
// navigator) rather than the browser's WebHID (an accessor of Navigator).
bool PageHidIsStandIn();

// Takes the list of granted HID devices (navigator.hid.getDevices()). Waits.
// Returns the list's id, 0 when the browser cannot list them.
std::int32_t PageHidOpenList();
// The path of the list's device `index`; false past the end.
bool PageHidListPath(std::int32_t list, std::uint32_t index, std::wstring& path);
void PageHidCloseList(std::int32_t list);
// Opens the device of `path` and starts queueing its input reports. Waits.
// Returns the handle, 0 when it cannot be opened.
std::int32_t PageHidOpen(const std::wstring& path);
// Stops queueing, fails a pending transfer, closes the device. Waits.
void PageHidClose(std::int32_t handle);
bool PageHidAttributes(std::int32_t handle, std::uint16_t& vendorId, std::uint16_t& productId);
// Report lengths in bytes, report ID byte included, as Windows counts them.
bool PageHidReportLengths(std::int32_t handle, std::uint16_t& inputLength,
                          std::uint16_t& outputLength);
// Sends report[0] as the report ID and the rest as its data. Waits at most
// `timeoutMs` of real time. Returns 0, or the last-error value of the failure.
std::uint32_t PageHidWrite(std::int32_t handle, const std::uint8_t* report, std::uint32_t length,
                           double timeoutMs);
// Takes the device's next queued input report (report ID first, at most
// `length` bytes, the rest of `buffer` zeroed), waiting at most `timeoutMs`
// of real time. Returns 0, or the last-error value of the failure.
std::uint32_t PageHidRead(std::int32_t handle, std::uint8_t* buffer, std::uint32_t length,
                          double timeoutMs);

// The page's elements (page.js: the DOM). Controls are addressed by the
// Windows control ids.
void PageSetItemText(int id, const std::wstring& text);
std::wstring PageGetItemText(int id);
void PageEnableItem(int id, bool enable);
void PageSetTitle(const std::wstring& title);
void PageMainRectangle(int& left, int& top, int& right, int& bottom);
bool PageIsForeground();
void PageOpenProgress(const std::wstring& title);
void PageSetProgress(std::uint32_t position);
void PageCloseProgress();
// The first view is complete: the main panel shows.
void PageShowMain();
// The session is over (after Close, or when the dialog ended at start).
void PageShowSessionEnded(int result);
// Which updater this is and the first hex digits of the SHA-256 digest of
// the firmware image it carries (empty: it carries none), for the page to
// show where support can ask for them.
void PageShowBuild(const std::wstring& version, const std::wstring& imageDigest);

// Events (page.js: the queue of clicks and device events).
enum PageEventKind {
    PAGE_EVENT_COMMAND = 1,  // `value` is the control id
    PAGE_EVENT_DEVICE = 2,   // `value` is the device event, `path` the device's path
    PAGE_EVENT_ANSWER = 3,   // `value` is the message box's answer
};
struct PageEvent {
    PageEventKind kind;
    std::uint32_t value;
    std::wstring path;
};
// Starts and stops putting device arrivals and removals into the queue.
bool PageRegisterDeviceEvents();
void PageUnregisterDeviceEvents();
// The next event of the queue, commands and device events alike. Waits.
PageEvent PageNextEvent();
// Opens the modal message box (`style` as MessageBoxW's).
void PageOpenMessageBox(const std::wstring& text, const std::wstring& caption,
                        std::uint32_t style);
// The box's answer, or the next device event that came while it is open.
// Waits.
PageEvent PageNextMessageBoxEvent();
void PageCloseMessageBox();

// Language and clock.
bool PageLanguageIsGerman();
// performance.now(), in milliseconds.
double PageNow();
// Resolves no earlier than `milliseconds` of real time from now. Waits.
void PageWait(double milliseconds);
