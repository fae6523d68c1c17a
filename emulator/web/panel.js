// The demo's control panel for the emulated unit: plug it in and out as a
// LINK-BOX or an ORBICON, in its normal firmware or its bootloader, with an
// ESC or none, of a given type code and version; say what the browser's
// chooser does; arm a fault for the next update. It works only through
// window.orvantoEmulator (unit-bridge.js), as a test does.
//
// The same panel runs below the updater in demo.html and in a window of its
// own (panel-window.html, opened from demo.html), where it drives the
// opener's emulator. The updater's dialogs are modal and lock the rest of
// their page, so only the panel in its own window can pull the unit out in
// the middle of an update.
(function () {
  "use strict";

  const inOwnWindow = !window.orvantoEmulator;
  const opener = inOwnWindow ? window.opener : null;
  const emulator = inOwnWindow ? (opener && opener.orvantoEmulator) : window.orvantoEmulator;
  const byId = (id) => document.getElementById(id);
  const status = byId("emu-status");
  const plugButton = byId("emu-plug");
  const controls = Array.from(document.querySelectorAll("#emulator-panel select, #emulator-panel input, #emulator-panel button"));

  function say(text) {
    status.textContent = text;
  }

  for (const control of controls) control.disabled = true;

  if (inOwnWindow) {
    byId("emu-own-window-row").hidden = true;
    if (!emulator) {
      say("Open this panel from the demo page (demo.html).");
      return;
    }
  }

  // The panel in its own window outlives a reload or the closing of the demo
  // page, whose emulator it drives.
  function demoPageGone() {
    if (!inOwnWindow || (!opener.closed && opener.orvantoEmulator === emulator)) {
      return false;
    }
    for (const control of controls) control.disabled = true;
    say("The demo page was closed or loaded again: open this panel again from it.");
    return true;
  }

  // The value of a hexadecimal field, or null (the field marked invalid)
  // when it does not hold 1 to `digits` hexadecimal digits.
  function hexField(id, digits) {
    const field = byId(id);
    const text = field.value.trim();
    const valid = new RegExp("^[0-9A-Fa-f]{1," + digits + "}$").test(text);
    field.setAttribute("aria-invalid", valid ? "false" : "true");
    return valid ? parseInt(text, 16) : null;
  }

  function hex(value, digits) {
    return value.toString(16).toUpperCase().padStart(digits, "0");
  }

  // Follows the emulator: the unit may be plugged or pulled out by the
  // other panel, or pulled out by an armed fault in the middle of an update.
  let wasPlugged = false;
  let ownChange = false;
  function showState() {
    if (demoPageGone()) return;
    const state = emulator.state();
    plugButton.textContent = state.plugged ? "Pull out" : "Plug in";
    byId("emu-grant").disabled = !state.plugged || state.granted;
    if (wasPlugged && !state.plugged && !ownChange) {
      say("The unit is pulled out.");
    }
    wasPlugged = state.plugged;
  }

  function change(action) {
    ownChange = true;
    try {
      action();
    } finally {
      ownChange = false;
    }
  }

  function togglePlug() {
    if (demoPageGone()) return;
    if (emulator.state().plugged) {
      change(() => emulator.unplug());
      say("Unit pulled out.");
      return;
    }
    const escTypeCode = hexField("emu-type-code", 8);
    const escVersion = hexField("emu-version", 4);
    if (escTypeCode === null || escVersion === null) {
      say("Not plugged in: the ESC type takes 1 to 8 and the version 1 to 4 hexadecimal digits.");
      (escTypeCode === null ? byId("emu-type-code") : byId("emu-version")).focus();
      return;
    }
    const productId = Number(byId("emu-unit-kind").value);
    change(() => emulator.plug({
      productId,
      bootloader: byId("emu-mode").value === "bootloader",
      esc: byId("emu-esc").value === "yes",
      escTypeCode,
      escVersion,
      keepsGrant: byId("emu-keeps-grant").checked,
    }));
    const state = emulator.state();
    say((productId === 1 ? "ORBICON" : "LINK-BOX") + " plugged in" +
        (state.granted ? "; the page has its permission." : "; the page has no permission for it yet: press its request button."));
  }

  function grantNow(event) {
    event.preventDefault();
    if (demoPageGone()) return;
    if (!emulator.state().plugged) {
      say("Plug a unit in first.");
      return;
    }
    change(() => emulator.grant());
    say("Permission granted, as if chosen on an earlier visit: the page sees it when it next asks the browser (a reload, or the unit plugged in again).");
  }

  function chooserChanged() {
    if (demoPageGone()) return;
    change(() => emulator.setChooser(byId("emu-chooser").value));
    say(byId("emu-chooser").value === "choose"
      ? "The chooser will pick the unit when the page asks."
      : "The chooser will be closed without a choice when the page asks.");
  }

  function armFault(event) {
    event.preventDefault();
    if (demoPageGone()) return;
    const kind = byId("emu-fault-kind").value;
    const step = byId("emu-fault-step").value;
    const blockField = byId("emu-fault-block");
    const block = Number(blockField.value);
    const blockValid = Number.isInteger(block) && block >= 1;
    blockField.setAttribute("aria-invalid", blockValid ? "false" : "true");
    const errorCode = hexField("emu-fault-code", 8);
    if (!blockValid || errorCode === null) {
      say("No fault armed: N is a whole number from 1, the error code 1 to 8 hexadecimal digits.");
      (blockValid ? byId("emu-fault-code") : blockField).focus();
      return;
    }
    if (!emulator.state().plugged) {
      say("Plug a unit in first: faults are armed on the plugged unit.");
      return;
    }
    change(() => emulator.armFault({ kind, step, block, errorCode }));
    if (kind === "none") {
      say("No fault armed.");
      return;
    }
    const where = step === "block" ? "data block " + block : byId("emu-fault-step").selectedOptions[0].textContent;
    const what = byId("emu-fault-kind").selectedOptions[0].textContent;
    say("Armed for the next update: " + what + " at " + where +
        (kind === "unit-error" ? " (0x" + hex(errorCode, 8) + ")" : "") + ". Plugging in again clears it.");
  }

  function openOwnWindow() {
    const panel = window.open("emulator/panel-window.html", "orvanto-emulator-panel", "popup,width=460,height=820");
    say(panel ? "The panel is open in a window of its own as well." : "The browser did not open the window: allow pop-ups for this page.");
  }

  say("The emulated unit is loading.");
  emulator.ready.then(() => {
    for (const control of controls) control.disabled = false;
    plugButton.addEventListener("click", togglePlug);
    byId("emulator-chooser").addEventListener("submit", grantNow);
    byId("emu-chooser").addEventListener("change", chooserChanged);
    byId("emulator-fault").addEventListener("submit", armFault);
    if (!inOwnWindow) byId("emu-own-window").addEventListener("click", openOwnWindow);
    const stopListening = emulator.onChange(showState);
    window.addEventListener("pagehide", stopListening);
    // The form starts with the demo's default unit, as the emulator has it.
    const defaults = emulator.defaults();
    byId("emu-unit-kind").value = String(defaults.productId);
    byId("emu-mode").value = defaults.bootloader ? "bootloader" : "normal";
    byId("emu-esc").value = defaults.esc ? "yes" : "no";
    byId("emu-type-code").value = hex(defaults.escTypeCode, 8);
    byId("emu-version").value = hex(defaults.escVersion, 4);
    const state = emulator.state();
    byId("emu-chooser").value = state.chooser;
    showState();
    say(state.plugged ? "A unit is plugged in." : "No unit plugged in.");
  }, (error) => {
    say("The emulated unit did not load: " + error);
  });
})();
