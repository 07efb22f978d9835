// The login page: posts the name and password, then goes to the page asked for (or the week).
const form = document.getElementById('login');
const message = document.getElementById('message');

form.addEventListener('submit', async (event) => {
  event.preventDefault();
  message.textContent = '';
  const body = JSON.stringify({
    user: document.getElementById('user').value,
    password: document.getElementById('password').value,
  });
  try {
    const res = await fetch('/api/login', { method: 'POST', body, headers: { 'Content-Type': 'application/json' } });
    const data = await res.json().catch(() => ({}));
    if (!res.ok) {
      message.textContent = data.error || `Login failed (${res.status})`;
      return;
    }
    sessionStorage.setItem('csrf', data.csrf);
    const next = new URLSearchParams(location.search).get('next');
    location.href = next && /^\/[a-z]+\.html(\?[\w=&%.-]*)?$/.test(next) ? next : '/week.html';
  } catch (e) {
    message.textContent = 'The console cannot be reached.';
  }
});
