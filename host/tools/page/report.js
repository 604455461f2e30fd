"use strict";
// Every text from the results reaches the page through textContent, never
// as markup, so that no plug-in's name can add an element.
(function () {
    const started = performance.now();
    // Files that are no VST 2 plug-ins are "failed" in the results file, but
    // a group of their own here: a folder of support DLLs is not that many
    // broken plug-ins.
    const NOT_VST2 = "not VST 2";
    const STATUSES = [
        ["ok", "scanned without an error"],
        ["failed", "the scan server reported an error"],
        ["crashed", "its scan server died of a fault, twice"],
        ["timed out", "no answer within the time limit"],
        ["ended", "its scan server ended another way, twice"],
        [NOT_VST2, "no VST 2 plug-in: another format, or a DLL without a plug-in entry point"],
    ];
    // VST 2 plug-in categories by number; 0 is "unknown", shown as a number.
    const CATEGORIES = ["", "effect", "synth", "analysis", "mastering", "spatial",
        "room effects", "surround", "restoration", "offline", "shell", "generator"];
    const SLOWEST_SHOWN = 30;
    const NONE = "\u2014";

    const data = JSON.parse(document.getElementById("results").textContent);
    const run = data.run;
    const plugins = data.plugins;

    function make(tag, className, text) {
        const node = document.createElement(tag);
        if (className)
            node.className = className;
        if (text !== undefined)
            node.textContent = text;
        return node;
    }

    function statusClass(status) {
        return "st-" + status.replace(/ /g, "-");
    }

    function plural(count, word) {
        return count + " " + word + (count === 1 ? "" : "s");
    }

    function fileName(path) {
        return path.slice(Math.max(path.lastIndexOf("\\"), path.lastIndexOf("/")) + 1);
    }

    function milliseconds(ms) {
        return ms < 1000 ? ms + " ms" : (ms / 1000).toFixed(1) + " s";
    }

    function runTime(seconds) {
        if (seconds < 60)
            return seconds.toFixed(1) + " s";
        const whole = Math.round(seconds);
        const hours = Math.floor(whole / 3600);
        return (hours ? hours + " h " : "") + Math.floor(whole / 60) % 60 + " min " +
            whole % 60 + " s";
    }

    // Exception codes are known by their hexadecimal form: 0xC0000005.
    function exitCodeText(code) {
        if (code < 0x10000)
            return String(code);
        return code + " (0x" + code.toString(16).toUpperCase().padStart(8, "0") + ")";
    }

    function utcText(text) {
        return text ? text.replace("T", " ").replace(/Z$/, " UTC") : "at an unknown time";
    }

    function categoryText(category) {
        return CATEGORIES[category] || String(category);
    }

    function midiText(report) {
        const ways = [];
        if (report.wantsMidi)
            ways.push("in");
        if (report.sendsMidi)
            ways.push("out");
        return ways.length ? ways.join(", ") : NONE;
    }

    // One term and its value in a <dl>; nothing for an empty value.
    function fact(list, term, value) {
        if (value === null || value === undefined || value === "")
            return;
        const description = make("dd");
        if (value instanceof Node)
            description.append(value);
        else
            description.textContent = value;
        list.append(make("dt", "", term), description);
    }

    // How a server died, as a record and an incident both tell it.
    function deathFacts(list, died) {
        if (died.exitCode !== null)
            fact(list, "Exit code", exitCodeText(died.exitCode));
        fact(list, "Dump", died.dump);
        if (died.fault)
            fact(list, "Fault", died.fault.text);
    }

    function listOf(tag, texts) {
        const list = make(tag);
        for (const text of texts)
            list.append(make("li", "", text));
        return list;
    }

    function countByStatus(entries) {
        const counts = {};
        for (const [status] of STATUSES)
            counts[status] = 0;
        for (const entry of entries)
            counts[entry.status] = (counts[entry.status] || 0) + 1;
        return counts;
    }

    // A plug-in, or one of a shell's sub-plug-ins, as the table and the chart show it.
    function entryOf(record, shell) {
        const path = shell ? shell.path + ">" + record.id : record.path;
        const name = record.name || (shell ? record.id : fileName(record.path));
        const otherKind = record.status === "failed" && record.reason === "not a VST 2 plug-in";
        return {
            record: record,
            report: record.report || null,
            status: otherKind ? NOT_VST2 : record.status,
            // A sub-plug-in runs on its shell's platform.
            platform: (shell || record).platform || "",
            name: name,
            path: path,
            search: (name + "\n" + record.vendor + "\n" + path).toLowerCase(),
            row: null,
        };
    }

    const groups = plugins.map(function (plugin) {
        return {
            main: entryOf(plugin, null),
            subs: (plugin.shells || []).map(function (shell) { return entryOf(shell, plugin); }),
            body: null,
            foldLabel: null,
        };
    });
    const mains = groups.map(function (group) { return group.main; });
    const subs = groups.flatMap(function (group) { return group.subs; });
    const mainCounts = countByStatus(mains);
    const subCounts = countByStatus(subs);

    function showRun() {
        document.title = "Plug-in scan, " + utcText(run.started);
        document.getElementById("run").textContent = [
            "Started " + utcText(run.started),
            "took " + runTime(run.seconds),
            run.scanned + " scanned",
            run.fromCache + " unchanged from the results file",
            plural(run.skipped, "earlier failure") + " skipped",
        ].join(" \u00B7 ");
        document.getElementById("stopped").hidden = !run.stopped;
    }

    function showCounts() {
        const box = document.getElementById("counts");
        const total = make("div", "count");
        total.append(make("span", "number", String(plugins.length)),
            make("span", "word", plugins.length === 1 ? "plug-in" : "plug-ins"));
        if (subs.length)
            total.append(make("span", "subs", "and " + plural(subs.length, "sub-plug-in") +
                " of shells"));
        // Plug-in files by platform, x64 and x86 first.
        const platforms = {};
        for (const entry of mains)
            platforms[entry.platform || "unknown"] = (platforms[entry.platform || "unknown"] || 0) + 1;
        const order = Object.keys(platforms).sort(function (a, b) {
            const rank = function (p) { return p === "x64" ? 0 : p === "x86" ? 1 : 2; };
            return rank(a) - rank(b) || a.localeCompare(b);
        });
        const byPlatform = make("span", "subs platforms", order.map(function (p) {
            return platforms[p] + " " + p;
        }).join(" \u00B7 "));
        byPlatform.dataset.count = "platforms";
        total.append(byPlatform);
        box.append(total);
        for (const [status, meaning] of STATUSES) {
            const card = make("div", "count " + statusClass(status));
            card.dataset.status = status;
            card.title = meaning;
            const number = make("span", "number", String(mainCounts[status]));
            number.dataset.count = "plugins";
            card.append(number, make("span", "word", status));
            if (subs.length) {
                const line = make("span", "subs");
                const subNumber = make("span", "", String(subCounts[status]));
                subNumber.dataset.count = "subs";
                line.append(subNumber, " sub-plug-in" + (subCounts[status] === 1 ? "" : "s"));
                card.append(line);
            }
            box.append(card);
        }
    }

    function showIncidents() {
        if (!run.incidents.length)
            return;
        const section = document.getElementById("incidents");
        section.hidden = false;
        for (const incident of run.incidents) {
            const card = make("article", "incident");
            card.append(make("h3", "", incident.reason || "A scan server died"));
            const facts = make("dl", "facts");
            fact(facts, "During", incident.during);
            fact(facts, "Culprit", incident.culprit);
            deathFacts(facts, incident);
            if (incident.suspects.length) {
                const more = make("details");
                more.append(make("summary", "", plural(incident.suspects.length, "suspect") +
                    ", in the order that server scanned them"), listOf("ol", incident.suspects));
                fact(facts, "Suspects", more);
            }
            if (incident.tried.length)
                fact(facts, "Looked for by", listOf("ol", incident.tried));
            card.append(facts);
            section.append(card);
        }
    }

    function showLegend() {
        const legend = document.getElementById("legend");
        for (const [status, meaning] of STATUSES) {
            const item = make("div");
            const term = make("dt");
            term.append(make("span", "pill " + statusClass(status), status));
            item.append(term, make("dd", "", meaning));
            legend.append(item);
        }
    }

    function hasDetails(record) {
        return record.status !== "ok" || record.afterReport || record.dialogs.length > 0 ||
            record.output !== "" || record.log.length > 0;
    }

    function detailRow(entry) {
        const record = entry.record;
        const row = make("tr", "detail");
        row.hidden = true;
        const cell = make("td");
        cell.colSpan = 10;
        // The row's texts that the table cuts short, whole: filled as the
        // row opens, when the widths they had are known.
        entry.whole = make("dl", "facts whole");
        cell.append(entry.whole);
        const facts = make("dl", "facts");
        fact(facts, "Reason", record.error || (record.status === "ok" ? "" : "none given"));
        fact(facts, "Kind", record.reason);
        if (record.missing && record.missing.length)
            fact(facts, "Missing", listOf("ul", record.missing));
        fact(facts, "Format", record.format);
        deathFacts(facts, record);
        if (record.fault && record.fault.stack && record.fault.stack.length)
            fact(facts, "Stack", make("pre", "stack", record.fault.stack.join("\n")));
        if (record.afterReport)
            fact(facts, "When", "after its report went out");
        if (record.dialogs.length) {
            const box = make("div");
            for (const dialog of record.dialogs) {
                const item = make("div", "dialog");
                item.append(make("strong", "", dialog.title || "(no title)"));
                for (const text of dialog.texts)
                    item.append(make("p", "", text));
                item.append(make("p", "note", "Answered: " + dialog.answer));
                box.append(item);
            }
            fact(facts, record.dialogs.length === 1 ? "Window" : "Windows", box);
        }
        if (record.output)
            fact(facts, "Output", make("pre", "output", record.output));
        if (record.log.length)
            fact(facts, "Log", make("pre", "log", record.log.join("\n")));
        cell.append(facts);
        row.append(cell);
        return row;
    }

    function dataCell(text, className) {
        return make("td", text === NONE ? "none" : className || "", text);
    }

    // A text a plug-in wrote, which may be of any length: the table keeps it
    // on one line, cut with an ellipsis, and shows it whole in its title and,
    // when the row is opened, in its details under term.
    function mayBeCut(node, term) {
        node.classList.add("cut");
        node.dataset.term = term;
        if (node.textContent !== NONE)
            node.title = node.textContent;
        return node;
    }

    function showWhole(entry) {
        entry.whole.textContent = "";
        for (const node of entry.row.querySelectorAll(".cut")) {
            if (node.scrollWidth > node.clientWidth)
                fact(entry.whole, node.dataset.term, node.textContent);
        }
    }

    // The rows of one entry: its own, and the row of its details if it has any.
    function rowsOf(entry, kind) {
        const record = entry.record;
        // A report with an error says nothing true of the plug-in's abilities.
        const report = entry.report && !entry.report.error ? entry.report : null;
        const row = make("tr", "row " + kind);
        row.dataset.kind = kind;
        row.dataset.status = entry.status;
        entry.row = row;

        const statusCell = make("td", "status");
        const rows = [row];
        if (hasDetails(record)) {
            const detail = detailRow(entry);
            if (kind === "sub")
                detail.classList.add("sub");
            const pill = make("button", "pill " + statusClass(entry.status), entry.status);
            pill.type = "button";
            pill.title = "Show the details";
            pill.setAttribute("aria-expanded", "false");
            pill.addEventListener("click", function () {
                if (detail.hidden)
                    showWhole(entry);
                detail.hidden = !detail.hidden;
                pill.setAttribute("aria-expanded", String(!detail.hidden));
            });
            statusCell.append(pill);
            rows.push(detail);
        } else {
            statusCell.append(make("span", "pill " + statusClass(entry.status), entry.status));
        }

        const label = make("td", "label");
        label.append(mayBeCut(make("div", "name", entry.name), "Name"),
            mayBeCut(make("div", "path", kind === "sub" ? "id " + record.id : entry.path), "File"));
        row.append(statusCell, label, mayBeCut(dataCell(record.vendor || NONE), "Vendor"),
            mayBeCut(dataCell(report && report.version ? report.version : NONE), "Version"),
            dataCell(report ? categoryText(report.category) : NONE),
            dataCell(report ? report.numInputs + " / " + report.numOutputs : NONE, "num"),
            dataCell(report ? midiText(report) : NONE),
            dataCell(report ? (report.audio64 ? "yes" : "no") : NONE),
            dataCell(entry.platform || NONE),
            dataCell(milliseconds(record.durationMs), "num"));
        return rows;
    }

    function buildGroup(group) {
        const body = make("tbody", "group");
        group.body = body;
        body.append.apply(body, rowsOf(group.main, "plugin"));
        if (group.subs.length) {
            const fold = make("button", "fold");
            fold.type = "button";
            fold.setAttribute("aria-expanded", "false");
            group.foldLabel = make("span", "", plural(group.subs.length, "sub-plug-in"));
            fold.append(group.foldLabel);
            fold.addEventListener("click", function () {
                const open = body.classList.toggle("open");
                fold.setAttribute("aria-expanded", String(open));
            });
            group.main.row.cells[1].append(fold);
            for (const sub of group.subs)
                body.append.apply(body, rowsOf(sub, "sub"));
        }
        return body;
    }

    function buildTable() {
        const all = document.createDocumentFragment();
        for (const group of groups)
            all.append(buildGroup(group));
        document.querySelector("table").append(all);
    }

    // What the filters and the search let through; the rows are built once
    // and only hidden or shown, which keeps thousands of them quick.
    const hiddenStatuses = new Set();
    let words = [];

    function matches(entry) {
        return !hiddenStatuses.has(entry.status) &&
            words.every(function (word) { return entry.search.includes(word); });
    }

    function applyFilters() {
        const from = performance.now();
        let shown = 0;
        let subsShown = 0;
        for (const group of groups) {
            let subsMatching = 0;
            for (const sub of group.subs) {
                const match = matches(sub);
                if (sub.row.hidden === match)
                    sub.row.hidden = !match;
                if (match)
                    subsMatching++;
            }
            const own = matches(group.main);
            const visible = own || subsMatching > 0;
            if (group.body.hidden === visible)
                group.body.hidden = !visible;
            // A shell shown only for its sub-plug-ins stays as their heading.
            group.main.row.classList.toggle("context", !own);
            if (group.foldLabel) {
                group.foldLabel.textContent = subsMatching === group.subs.length
                    ? plural(group.subs.length, "sub-plug-in")
                    : subsMatching + " of " + plural(group.subs.length, "sub-plug-in");
            }
            if (visible) {
                shown++;
                subsShown += subsMatching;
            }
        }
        let text = shown + " of " + plural(groups.length, "plug-in") + " shown";
        if (subs.length)
            text += ", " + subsShown + " of " + plural(subs.length, "sub-plug-in");
        document.getElementById("shown").textContent = text;
        document.documentElement.dataset.filterMs = String(Math.round(performance.now() - from));
    }

    const filterButtons = new Map();

    function buildFilters() {
        const box = document.getElementById("filters");
        for (const [status, meaning] of STATUSES) {
            const button = make("button", "filter " + statusClass(status));
            button.type = "button";
            button.title = "Show or hide: " + meaning;
            button.dataset.status = status;
            button.setAttribute("aria-pressed", "true");
            button.append(make("span", "", status), make("span", "n", String(mainCounts[status])));
            if (subCounts[status])
                button.append(make("span", "n-subs", "+" + subCounts[status]));
            button.addEventListener("click", function () {
                const show = hiddenStatuses.has(status);
                if (show)
                    hiddenStatuses.delete(status);
                else
                    hiddenStatuses.add(status);
                button.setAttribute("aria-pressed", String(show));
                applyFilters();
            });
            filterButtons.set(status, button);
            box.append(button);
        }
        const search = document.getElementById("search");
        search.addEventListener("input", function () {
            words = search.value.toLowerCase().split(/\s+/).filter(Boolean);
            applyFilters();
        });
    }

    function buildChart() {
        const all = mains.concat(subs);
        const slowest = all.slice().sort(function (a, b) {
            return b.record.durationMs - a.record.durationMs;
        }).slice(0, SLOWEST_SHOWN);
        document.getElementById("chart-note").textContent = slowest.length
            ? "The " + plural(slowest.length, "slowest scan") + " of " + all.length +
              ", plug-ins and sub-plug-ins alike, slowest first."
            : "Nothing was scanned.";
        const longest = slowest.length ? Math.max(slowest[0].record.durationMs, 1) : 1;
        const chart = document.getElementById("chart");
        for (const entry of slowest) {
            const ms = entry.record.durationMs;
            const timedOut = entry.status === "timed out";
            const row = make("div", "bar-row");
            row.dataset.status = entry.status;
            const label = make("div", "bar-label", entry.name);
            label.title = entry.path;
            const track = make("div", "bar-track");
            const bar = make("div", "bar" + (timedOut ? " " + statusClass(entry.status) : ""));
            bar.style.width = (100 * ms / longest).toFixed(2) + "%";
            track.append(bar);
            const time = make("div", "bar-time", milliseconds(ms));
            if (timedOut)
                time.append(make("span", "pill " + statusClass(entry.status), "timed out"));
            row.append(label, track, time);
            chart.append(row);
        }
    }

    // The browser test drives the page through its own controls, named in
    // the address's fragment: #test-search=WORDS&test-toggle=STATUS,...&test-open=all;
    // test-heights puts each row's height, in pixels, on the row.
    function applyTestFragment() {
        const asked = new URLSearchParams(location.hash.slice(1));
        if (asked.has("test-search")) {
            const search = document.getElementById("search");
            search.value = asked.get("test-search");
            search.dispatchEvent(new Event("input"));
        }
        for (const status of (asked.get("test-toggle") || "").split(",")) {
            if (filterButtons.has(status))
                filterButtons.get(status).click();
        }
        if (asked.get("test-open") === "all") {
            for (const button of document.querySelectorAll("button[aria-expanded=false]"))
                button.click();
        }
        if (asked.has("test-heights")) {
            for (const row of document.querySelectorAll("tr.row"))
                row.dataset.height = String(Math.round(row.getBoundingClientRect().height));
        }
    }

    showRun();
    showCounts();
    showIncidents();
    showLegend();
    buildFilters();
    buildTable();
    buildChart();
    applyFilters();
    // How long building took, and filtering (above), ride on the root
    // element for the browser test, which bounds them.
    document.documentElement.dataset.buildMs = String(Math.round(performance.now() - started));
    applyTestFragment();
})();
