// The calls into the page's host object (page.js), and the conversion of
// texts between the program's wide strings and the page's UTF-8.
//
// Each EM_JS body only hands its arguments to the host and its result back;
// the host owns the browser APIs. The EM_ASYNC_JS ones suspend the program
// until the host's promise settles: their names are the build's
// ASYNCIFY_IMPORTS list (app/web/CMakeLists.txt), which must name every one.
#include "platform/web/page_host.h"

#include <emscripten.h>

#include <vector>

namespace {

// UTF-32 (the wide characters of the program) to UTF-8. A value that is no
// Unicode scalar becomes U+FFFD.
std::string ToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (const wchar_t wide : text) {
        std::uint32_t code = static_cast<std::uint32_t>(wide);
        if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
            code = 0xFFFD;
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

// UTF-8 from the page's own encoder (always well formed) to UTF-32.
std::wstring FromUtf8(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::uint32_t code = lead;
        std::size_t extra = 0;
        if (lead >= 0xF0) {
            code = lead & 0x07;
            extra = 3;
        } else if (lead >= 0xE0) {
            code = lead & 0x0F;
            extra = 2;
        } else if (lead >= 0xC0) {
            code = lead & 0x1F;
            extra = 1;
        }
        ++i;
        for (std::size_t k = 0; k < extra && i < text.size(); ++k, ++i) {
            code = (code << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
        }
        out += static_cast<wchar_t>(code);
    }
    return out;
}

}  // namespace

// A text that the host returns is kept on the JS side until the program has
// taken it: its length first, then its bytes into a buffer of that size.
EM_JS(int, orvanto_keep_text, (), {
    // Set by the caller; nothing to do here but report its length.
    return lengthBytesUTF8(Module["orvantoText"]);
});
EM_JS(void, orvanto_take_text, (char* buffer, int size), {
    stringToUTF8(Module["orvantoText"], buffer, size);
    Module["orvantoText"] = "";
});

namespace {

std::wstring TakeKeptText() {
    const int length = orvanto_keep_text();
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    orvanto_take_text(buffer.data(), length + 1);
    return FromUtf8(std::string(buffer.data(), static_cast<std::size_t>(length)));
}

}  // namespace

// HID.

EM_JS(int, orvanto_hid_is_stand_in, (), {
    return Object.prototype.hasOwnProperty.call(navigator, "hid") ? 1 : 0;
});
EM_ASYNC_JS(int, orvanto_hid_open_list, (), {
    return await Module["host"].hidOpenList();
});
EM_JS(int, orvanto_hid_list_path, (int list, int index), {
    const path = Module["host"].hidListPath(list, index);
    if (typeof path !== "string") {
        return 0;
    }
    Module["orvantoText"] = path;
    return 1;
});
EM_JS(void, orvanto_hid_close_list, (int list), {
    Module["host"].hidCloseList(list);
});
EM_ASYNC_JS(int, orvanto_hid_open, (const char* path), {
    return await Module["host"].hidOpen(UTF8ToString(path));
});
EM_ASYNC_JS(void, orvanto_hid_close, (int handle), {
    await Module["host"].hidClose(handle);
});
EM_JS(int, orvanto_hid_attributes, (int handle, std::uint16_t* ids), {
    const attributes = Module["host"].hidAttributes(handle);
    if (!attributes) {
        return 0;
    }
    HEAPU16[ids >> 1] = attributes.vendorId;
    HEAPU16[(ids >> 1) + 1] = attributes.productId;
    return 1;
});
EM_JS(int, orvanto_hid_report_lengths, (int handle, std::uint16_t* lengths), {
    const found = Module["host"].hidReportLengths(handle);
    if (!found) {
        return 0;
    }
    HEAPU16[lengths >> 1] = found.input;
    HEAPU16[(lengths >> 1) + 1] = found.output;
    return 1;
});
EM_ASYNC_JS(int, orvanto_hid_write, (int handle, const std::uint8_t* report, int length,
                                      double timeoutMs), {
    // A copy: the program's memory is not the page's to keep.
    const bytes = HEAPU8.slice(report, report + length);
    return await Module["host"].hidWrite(handle, bytes, timeoutMs);
});
EM_ASYNC_JS(int, orvanto_hid_read, (int handle, std::uint8_t* buffer, int length,
                                     double timeoutMs), {
    const result = await Module["host"].hidRead(handle, length, timeoutMs);
    if (typeof result === "number") {
        return result;
    }
    const count = Math.min(result.length, length);
    HEAPU8.set(result.subarray(0, count), buffer);
    HEAPU8.fill(0, buffer + count, buffer + length);
    return 0;
});

bool PageHidIsStandIn() { return orvanto_hid_is_stand_in() != 0; }
std::int32_t PageHidOpenList() { return orvanto_hid_open_list(); }

bool PageHidListPath(std::int32_t list, std::uint32_t index, std::wstring& path) {
    if (orvanto_hid_list_path(list, static_cast<int>(index)) == 0) {
        return false;
    }
    path = TakeKeptText();
    return true;
}

void PageHidCloseList(std::int32_t list) { orvanto_hid_close_list(list); }

std::int32_t PageHidOpen(const std::wstring& path) {
    return orvanto_hid_open(ToUtf8(path).c_str());
}

void PageHidClose(std::int32_t handle) { orvanto_hid_close(handle); }

bool PageHidAttributes(std::int32_t handle, std::uint16_t& vendorId, std::uint16_t& productId) {
    std::uint16_t ids[2] = {0, 0};
    if (orvanto_hid_attributes(handle, ids) == 0) {
        return false;
    }
    vendorId = ids[0];
    productId = ids[1];
    return true;
}

bool PageHidReportLengths(std::int32_t handle, std::uint16_t& inputLength,
                          std::uint16_t& outputLength) {
    std::uint16_t lengths[2] = {0, 0};
    if (orvanto_hid_report_lengths(handle, lengths) == 0) {
        return false;
    }
    inputLength = lengths[0];
    outputLength = lengths[1];
    return true;
}

std::uint32_t PageHidWrite(std::int32_t handle, const std::uint8_t* report, std::uint32_t length,
                           double timeoutMs) {
    return static_cast<std::uint32_t>(
        orvanto_hid_write(handle, report, static_cast<int>(length), timeoutMs));
}

std::uint32_t PageHidRead(std::int32_t handle, std::uint8_t* buffer, std::uint32_t length,
                          double timeoutMs) {
    return static_cast<std::uint32_t>(
        orvanto_hid_read(handle, buffer, static_cast<int>(length), timeoutMs));
}

// The page's elements.

EM_JS(void, orvanto_set_item_text, (int id, const char* text), {
    Module["host"].setItemText(id, UTF8ToString(text));
});
EM_JS(void, orvanto_get_item_text, (int id), {
    Module["orvantoText"] = Module["host"].getItemText(id);
});
EM_JS(void, orvanto_enable_item, (int id, int enable), {
    Module["host"].enableItem(id, enable !== 0);
});
EM_JS(void, orvanto_set_title, (const char* title), {
    Module["host"].setTitle(UTF8ToString(title));
});
EM_JS(void, orvanto_main_rectangle, (int* rect), {
    const r = Module["host"].mainRectangle();
    HEAP32[rect >> 2] = r.left;
    HEAP32[(rect >> 2) + 1] = r.top;
    HEAP32[(rect >> 2) + 2] = r.right;
    HEAP32[(rect >> 2) + 3] = r.bottom;
});
EM_JS(int, orvanto_is_foreground, (), {
    return Module["host"].isForeground() ? 1 : 0;
});
EM_JS(void, orvanto_open_progress, (const char* title), {
    Module["host"].openProgress(UTF8ToString(title));
});
EM_JS(void, orvanto_set_progress, (int position), {
    Module["host"].setProgress(position);
});
EM_JS(void, orvanto_close_progress, (), {
    Module["host"].closeProgress();
});
EM_JS(void, orvanto_show_main, (), {
    Module["host"].showMain();
});
EM_JS(void, orvanto_show_session_ended, (int result), {
    Module["host"].showSessionEnded(result);
});
EM_JS(void, orvanto_show_build, (const char* version, const char* imageDigest), {
    Module["host"].showBuild(UTF8ToString(version), UTF8ToString(imageDigest));
});

void PageSetItemText(int id, const std::wstring& text) {
    orvanto_set_item_text(id, ToUtf8(text).c_str());
}

std::wstring PageGetItemText(int id) {
    orvanto_get_item_text(id);
    return TakeKeptText();
}

void PageEnableItem(int id, bool enable) { orvanto_enable_item(id, enable ? 1 : 0); }

void PageSetTitle(const std::wstring& title) { orvanto_set_title(ToUtf8(title).c_str()); }

void PageShowBuild(const std::wstring& version, const std::wstring& imageDigest) {
    orvanto_show_build(ToUtf8(version).c_str(), ToUtf8(imageDigest).c_str());
}

void PageMainRectangle(int& left, int& top, int& right, int& bottom) {
    int rect[4] = {0, 0, 0, 0};
    orvanto_main_rectangle(rect);
    left = rect[0];
    top = rect[1];
    right = rect[2];
    bottom = rect[3];
}

bool PageIsForeground() { return orvanto_is_foreground() != 0; }

void PageOpenProgress(const std::wstring& title) { orvanto_open_progress(ToUtf8(title).c_str()); }

void PageSetProgress(std::uint32_t position) {
    orvanto_set_progress(static_cast<int>(position));
}

void PageCloseProgress() { orvanto_close_progress(); }

void PageShowMain() { orvanto_show_main(); }

void PageShowSessionEnded(int result) { orvanto_show_session_ended(result); }

// Events. An event comes back as its kind; its value and path wait on the JS
// side until taken.

EM_JS(int, orvanto_register_device_events, (), {
    return Module["host"].registerDeviceEvents() ? 1 : 0;
});
EM_JS(void, orvanto_unregister_device_events, (), {
    Module["host"].unregisterDeviceEvents();
});
EM_ASYNC_JS(int, orvanto_next_event, (std::uint32_t* value), {
    const event = await Module["host"].nextEvent();
    HEAPU32[value >> 2] = event.value;
    Module["orvantoText"] = event.path || "";
    return event.kind;
});
EM_JS(void, orvanto_open_message_box, (const char* text, const char* caption, int style), {
    Module["host"].openMessageBox(UTF8ToString(text), UTF8ToString(caption), style >>> 0);
});
EM_ASYNC_JS(int, orvanto_next_message_box_event, (std::uint32_t* value), {
    const event = await Module["host"].nextMessageBoxEvent();
    HEAPU32[value >> 2] = event.value;
    Module["orvantoText"] = event.path || "";
    return event.kind;
});
EM_JS(void, orvanto_close_message_box, (), {
    Module["host"].closeMessageBox();
});

namespace {

PageEvent TakeEvent(int kind, std::uint32_t value) {
    PageEvent event{static_cast<PageEventKind>(kind), value, TakeKeptText()};
    return event;
}

}  // namespace

bool PageRegisterDeviceEvents() { return orvanto_register_device_events() != 0; }

void PageUnregisterDeviceEvents() { orvanto_unregister_device_events(); }

PageEvent PageNextEvent() {
    std::uint32_t value = 0;
    const int kind = orvanto_next_event(&value);
    return TakeEvent(kind, value);
}

void PageOpenMessageBox(const std::wstring& text, const std::wstring& caption,
                        std::uint32_t style) {
    orvanto_open_message_box(ToUtf8(text).c_str(), ToUtf8(caption).c_str(),
                             static_cast<int>(style));
}

PageEvent PageNextMessageBoxEvent() {
    std::uint32_t value = 0;
    const int kind = orvanto_next_message_box_event(&value);
    return TakeEvent(kind, value);
}

void PageCloseMessageBox() { orvanto_close_message_box(); }

// Language and clock.

EM_JS(int, orvanto_language_is_german, (), {
    return Module["host"].languageIsGerman() ? 1 : 0;
});
EM_JS(double, orvanto_now, (), {
    return Module["host"].now();
});
EM_ASYNC_JS(void, orvanto_wait, (double milliseconds), {
    await Module["host"].wait(milliseconds);
});

bool PageLanguageIsGerman() { return orvanto_language_is_german() != 0; }

double PageNow() { return orvanto_now(); }

void PageWait(double milliseconds) { orvanto_wait(milliseconds); }
