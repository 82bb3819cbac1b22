// Small helpers for building the page: elements, sizes, times.

// h("button", {type: "button", onclick}, "Text") -> element. Attributes whose
// name starts with "on" become listeners; false and null leave them out.
export function h(tag, attributes = {}, ...children) {
  const element = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (value === false || value === null || value === undefined) continue;
    if (name.startsWith("on")) element.addEventListener(name.slice(2), value);
    else if (name === "text") element.textContent = value;
    else element.setAttribute(name, value === true ? "" : value);
  }
  for (const child of children.flat()) {
    if (child === null || child === undefined || child === false) continue;
    element.append(child instanceof Node ? child : String(child));
  }
  return element;
}

export function replaceContent(element, ...children) {
  element.replaceChildren();
  for (const child of children.flat()) if (child) element.append(child);
}

// 137438953472 -> "128 GiB"; the exact byte count stays in the title.
export function formatBytes(value) {
  const bytes = Number(value);
  if (!Number.isFinite(bytes) || bytes < 0) return String(value);
  const units = ["bytes", "KiB", "MiB", "GiB", "TiB"];
  let size = bytes;
  let unit = 0;
  while (size >= 1024 && unit < units.length - 1) {
    size /= 1024;
    unit += 1;
  }
  return unit === 0 ? `${bytes} bytes` : `${size >= 100 ? size.toFixed(0) : size.toFixed(1)} ${units[unit]}`;
}

export function formatDuration(seconds) {
  const s = Math.max(0, Math.round(seconds));
  if (s < 60) return `${s} s`;
  if (s < 3600) return `${Math.floor(s / 60)} min ${s % 60} s`;
  return `${Math.floor(s / 3600)} h ${Math.floor((s % 3600) / 60)} min`;
}

// The readable name of a progress key.
export function driveName(key) {
  if (key === "SYSVOL") return "System reserved volume";
  if (key === "ESPVOL") return "EFI system partition";
  return `Drive ${key}`;
}
