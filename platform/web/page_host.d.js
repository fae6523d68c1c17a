// The contract between the updater program (updater.wasm) and the page that
// runs it: the host object that app/web/page.js hands the program, whose
// functions platform/web/page_host.cpp calls. The C++ declarations are in
// page_host.h; this is the page's side. tools/check_page_contract.py fails
// the build when the two sides or the build's list of suspending calls
// (ASYNCIFY_IMPORTS) disagree.
//
// Functions that return a Promise suspend the program until it settles;
// nothing calls into the program meanwhile. Handles and list ids are the
// page's numbers, 0 meaning none; paths are "webhid:<n>"; texts are
// strings. A failed transfer resolves to the Windows last-error value of
// its failure (names.mjs: PLATFORM_ERROR_*).

/**
 * @typedef {object} PageHost
 *
 * HID (page-hid.js):
 * @property {() => Promise<number>} hidOpenList
 *   The granted devices as a list; its id, 0 when the browser cannot list them.
 * @property {(list: number, index: number) => (string|null)} hidListPath
 *   The path of the list's device `index`; null past the end.
 * @property {(list: number) => void} hidCloseList
 * @property {(path: string) => Promise<number>} hidOpen
 *   Opens the device and queues its input reports from then on; the handle, or 0.
 * @property {(handle: number) => Promise<void>} hidClose
 *   Fails a pending transfer, stops queueing, closes the device.
 * @property {(handle: number) => ({vendorId: number, productId: number}|null)} hidAttributes
 * @property {(handle: number) => ({input: number, output: number}|null)} hidReportLengths
 *   Report lengths in bytes, the report ID byte included, as Windows counts them.
 * @property {(handle: number, report: Uint8Array, timeoutMs: number) => Promise<number>} hidWrite
 *   Sends report[0] as the report ID and the rest as its data; 0, or the last error.
 * @property {(handle: number, length: number, timeoutMs: number) => Promise<(Uint8Array|number)>} hidRead
 *   The next input report, report ID first, at most `length` bytes; or the last error.
 *
 * The main panel, by the dialog's control ids (page.js):
 * @property {(id: number, text: string) => void} setItemText
 * @property {(id: number) => string} getItemText
 * @property {(id: number, enable: boolean) => void} enableItem
 * @property {(title: string) => void} setTitle
 * @property {() => {left: number, top: number, right: number, bottom: number}} mainRectangle
 * @property {() => boolean} isForeground
 * @property {() => void} showMain
 *   The first view is complete.
 * @property {(result: number) => void} showSessionEnded
 * @property {(version: string, imageDigest: string) => void} showBuild
 *   The updater's version and the first hex digits of its image's digest ("" without one).
 *
 * The dialogs (page-dialogs.js):
 * @property {(title: string) => void} openProgress
 * @property {(position: number) => void} setProgress
 * @property {() => void} closeProgress
 * @property {(text: string, caption: string, style: number) => void} openMessageBox
 *   `style` as MessageBoxW's (names.mjs: BOX_*).
 * @property {() => Promise<PageEvent>} nextMessageBoxEvent
 *   The open box's answer, or a device event that came while it is open.
 * @property {() => void} closeMessageBox
 *
 * Events (page.js):
 * @property {() => boolean} registerDeviceEvents
 * @property {() => void} unregisterDeviceEvents
 * @property {() => Promise<PageEvent>} nextEvent
 *
 * Language and clock (page.js, page-clock.js):
 * @property {() => boolean} languageIsGerman
 * @property {() => number} now
 *   performance.now(), in milliseconds.
 * @property {(milliseconds: number) => Promise<void>} wait
 */

/**
 * @typedef {object} PageEvent
 * @property {number} kind  PAGE_EVENT_COMMAND, PAGE_EVENT_DEVICE or PAGE_EVENT_ANSWER.
 * @property {number} value  The control id, the device event or the box's answer.
 * @property {string} path  The device's path, for a device event.
 */
