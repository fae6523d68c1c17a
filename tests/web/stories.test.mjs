// The owner's stories (tests/stories/stories.json) played by the page in
// Chromium, in English and in German: the page's real WebHID code, the
// emulated unit behind the stand-in navigator.hid, the test build's clock
// 50 times faster. A story this stage cannot play is skipped with its reason.
import { after, before, describe, it } from "node:test";

import { N, LIMIT_MS, flash, screenshot, standinImage, suite } from "./harness.mjs";
import { playStory } from "./play-story.mjs";
import { cannotPlay, loadStories } from "../stories/stories.mjs";

const STORIES = loadStories(N);

// The emulated unit behind the stand-in WebHID. Its log restarts with each
// unit plugged in: a mark is the unit's number and how far its log went.
// Plugging returns once the page has been told: a unit swapped for another
// one on a page that is Ready shows the same hint before as after, and only
// the page's state, busy from the event on, says that it has not finished.
function emulatedUnit(page) {
  const emulator = (fn, ...args) => page.evaluate(fn, ...args);
  const said = () => emulator(() => window.orvantoEmulator.said());
  let plugged = 0;
  const from = (mark) => (mark.unit === plugged ? mark.log : 0);
  return {
    image: standinImage(),
    limitMs: LIMIT_MS,
    async plug(settings) {
      await emulator(() => window.orvantoEmulator.ready);
      await emulator((s) => {
        window.orvantoEmulator.plug(s);
        window.orvantoEmulator.setPurgeDuration(s.purgeMs);
      }, settings);
      plugged += 1;
      await said();
    },
    async unplug() {
      await emulator(() => window.orvantoEmulator.unplug());
      await said();
    },
    async replug({ pullOutFirst }) {
      await emulator((first) => {
        if (first) window.orvantoEmulator.unplug();
        window.orvantoEmulator.replug();
      }, pullOutFirst);
      await said();
    },
    swapEsc: (settings) => emulator((s) => window.orvantoEmulator.swapEsc(s), settings),
    arm: (fault) => emulator((f) => window.orvantoEmulator.armFault(f), fault),
    // Counted in the page: the log of a whole update is thousands of reports.
    mark: async () => ({ unit: plugged, log: plugged === 0 ? 0 : await emulator(() => window.orvantoEmulator.log().length) }),
    received: (mark) => emulator((f) => window.orvantoEmulator.log().slice(f).filter((entry) => entry.fromHost).length,
      from(mark)),
    leastBlockWaitMs: (mark) => emulator((f) => window.orvantoEmulator.leastBlockWaitMs(f), from(mark)),
    flash: () => flash(page),
  };
}

for (const language of ["en", "de"]) {
  describe(`the stories in the page (${language})`, () => {
    let s;
    before(async () => {
      s = await suite({ language });
    });
    after(() => s?.close());

    for (const story of STORIES) {
      const reason = cannotPlay(story, "chromium");
      it(`story ${story.name}`, { skip: reason || false }, async (t) => {
        t.diagnostic(story.says);
        const page = await s.open("test.html");
        await playStory(page, story, {
          stage: "chromium", texts: s.texts, N, unit: emulatedUnit(page),
          screenshot: (name) => screenshot(page, `${language}-${name}`), note: (line) => t.diagnostic(line),
        });
        await page.closeContext();
      });
    }
  });
}
