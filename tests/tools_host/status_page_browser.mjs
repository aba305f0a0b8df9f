// Drives Debian's chromium (headless, fresh profile) through playwright-core
// against dravik-host's status page for http_status_test: waits for PLC1 ok
// and PLC2 disabled, writes what the station cards show to MARKER (the test
// then starts an outage), waits for PLC1 failing in the same page, saves a
// phone-sized screenshot and prints both views and the navigation count.
// usage: NODE_PATH=.../node_modules node status_page_browser.mjs URL MARKER SCREENSHOT
import fs from "node:fs";
import { createRequire } from "node:module";
import os from "node:os";
import path from "node:path";

// A module script ignores NODE_PATH; the package is loaded by its folder.
const { chromium } = createRequire(import.meta.url)(
    path.join(process.env.NODE_PATH, "playwright-core"));

const [url, marker, screenshot] = process.argv.slice(2);
const profile = fs.mkdtempSync(path.join(os.tmpdir(), "draviknet-chromium-"));
const context = await chromium.launchPersistentContext(profile, {
  executablePath: "/usr/bin/chromium",
  headless: true,
  args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  viewport: { width: 412, height: 915 },
});
try {
  const page = context.pages()[0] ?? (await context.newPage());
  let navigations = 0;
  page.on("framenavigated", (frame) => { if (frame === page.mainFrame()) ++navigations; });
  await page.goto(url);
  const cards = () => page.$$eval("#stations .station", (list) => list.map((c) => {
    const card = { name: c.dataset.station, state: c.dataset.state };
    for (const dd of c.querySelectorAll("dd")) card[dd.dataset.key] = dd.textContent;
    return card;
  }));
  // Functions, not strings: the page's policy forbids evaluating text.
  const states = (want) => Object.entries(want).every(
      ([name, s]) => document.querySelector(`[data-station="${name}"]`)?.dataset.state === s);
  await page.waitForFunction(states, { PLC1: "ok", PLC2: "disabled" }, { timeout: 20000 });
  const before = await cards();
  fs.writeFileSync(marker, JSON.stringify(before));
  await page.waitForFunction(states, { PLC1: "failing" }, { timeout: 40000 });
  const during = await cards();
  const qualities = await page.$$eval("#tags tr", (rows) => rows.map((r) => r.cells[3].textContent));
  await page.screenshot({ path: screenshot, fullPage: true });
  console.log(JSON.stringify({ before, during, qualities, navigations }));
} finally {
  await context.close();
  fs.rmSync(profile, { recursive: true, force: true });
}
