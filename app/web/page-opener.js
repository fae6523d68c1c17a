// Where the updater page runs: never inside another page's frame, nor in a
// window that another page holds.

// In a frame the page could be laid under other content and clicked
// blindly, and it would open the unit outside the one-updater lock of its
// own site.
export function isFramed() {
  try {
    return window.top !== window.self;
  } catch (error) {
    return true;
  }
}

// A page that opened this window (window.open) keeps a hold on it and could
// close it in the middle of an update, after the ESC's flash has been
// erased; it may do so through any page that stands in its window by then,
// of any site, this one's too (a frame of another site that opened the
// updater and was then sent to a page of the updater's site, or a window
// in between). So any opener is refused, whatever its origin looks like
// now. Where the host sends Cross-Origin-Opener-Policy, the browser has
// cut the opener off already; a link with rel=noopener and an address
// typed have none.
export function hasOpener() {
  try {
    return window.opener !== null;
  } catch (error) {
    return true;
  }
}

// No other page finds this window by its name (window.open("", name) hands
// out the window of that name) to close or navigate it.
export function forgetWindowName() {
  window.name = "";
}
